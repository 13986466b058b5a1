// The connection, its window and atoms, and the dispatch of events to reading, serving and
// saving.
#include "clipboard/x11/x11_selection.h"

#include <xcb/xfixes.h>

#include <cstring>
#include <iterator>

#include "clipboard/x11/x11_internal.h"

using x11::Reply;

X11Value X11Value::Of(X11Bytes bytes) {
  auto owner = std::make_shared<const X11Bytes>(std::move(bytes));
  const std::size_t size = owner->size();
  return {std::shared_ptr<const std::uint8_t>(owner, owner->data()), size};
}

CX11Selection::CX11Selection(const char *display)
    : m_display(display != nullptr ? display : ""), m_pRead(std::make_unique<Read>()) {
  int screenNumber = 0;
  m_c = xcb_connect(m_display.empty() ? nullptr : m_display.c_str(), &screenNumber);
  if (xcb_connection_has_error(m_c) != 0)
    return;
  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(m_c));
  for (int i = 0; i < screenNumber && screen.rem > 0; ++i)
    xcb_screen_next(&screen);
  if (screen.rem == 0) {
    xcb_disconnect(m_c);
    m_c = nullptr;
    return;
  }
  m_root = screen.data->root;
  m_clientBits = ~xcb_get_setup(m_c)->resource_id_mask;
  // Pieces as large as one request may be (BIG-REQUESTS counted), less the request's header.
  m_maxPiece = std::size_t{xcb_get_maximum_request_length(m_c)} * 4 - 64;

  const char *names[] = {"CLIPBOARD",
                         "TARGETS",
                         "TIMESTAMP",
                         "MULTIPLE",
                         "INCR",
                         "ATOM_PAIR",
                         "INTEGER",
                         "ATOM",
                         "image/bmp",
                         "image/png",
                         "CLIPBOARD_MANAGER",
                         "SAVE_TARGETS",
                         "VANTOLY_SELECTION",
                         "VANTOLY_TIME",
                         "VANTOLY_SAVE",
                         ResultMarkerType,
                         nullptr};
  // The window manager's selection on our screen.
  const std::string windowManager = "WM_S" + std::to_string(screenNumber);
  names[std::size(names) - 1] = windowManager.c_str();
  xcb_intern_atom_cookie_t cookies[std::size(names)];
  for (std::size_t i = 0; i < std::size(names); ++i)
    cookies[i] =
        xcb_intern_atom(m_c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  xcb_atom_t atoms[std::size(names)] = {};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(m_c, cookies[i], nullptr));
    atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  m_atoms = {atoms[0],  atoms[1],  atoms[2],  atoms[3],  atoms[4],  atoms[5],
             atoms[6],  atoms[7],  atoms[8],  atoms[9],  atoms[10], atoms[11],
             atoms[12], atoms[13], atoms[14], atoms[15], atoms[16]};

  // An invisible window that owns the selection and receives the answers; property changes on
  // it drive INCR reads and give us server timestamps.
  m_window = xcb_generate_id(m_c);
  const std::uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                    &eventMask);
  xcb_flush(m_c);
}

CX11Selection::~CX11Selection() {
  if (m_c != nullptr)
    xcb_disconnect(m_c);
}

bool CX11Selection::IsOpen() const { return m_c != nullptr && xcb_connection_has_error(m_c) == 0; }

bool CX11Selection::WatchOwner(std::function<void(X11Owner)> changed) {
  if (!IsOpen())
    return false;
  const xcb_query_extension_reply_t *fixes = xcb_get_extension_data(m_c, &xcb_xfixes_id);
  if (fixes == nullptr || fixes->present == 0)
    return false;
  // The extension answers nobody who has not said which version it speaks.
  const Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
      m_c, xcb_xfixes_query_version(m_c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
      nullptr));
  if (!version)
    return false;
  m_fixesEvent = fixes->first_event;
  m_ownerChanged = std::move(changed);
  xcb_xfixes_select_selection_input(m_c, m_window, m_atoms.clipboard,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  xcb_flush(m_c);
  return true;
}

X11Owner CX11Selection::OwnerKind(xcb_window_t owner) {
  if (owner == XCB_NONE)
    return X11Owner::None;
  if (owner == m_window)
    return X11Owner::Us;
  const Reply<xcb_get_selection_owner_reply_t> manager(xcb_get_selection_owner_reply(
      m_c, xcb_get_selection_owner(m_c, m_atoms.windowManager), nullptr));
  // The server hands each client its own range of ids: two windows whose ids agree outside the
  // client's mask were made by the same client.
  return manager && manager->owner != XCB_NONE &&
                 (owner & m_clientBits) == (manager->owner & m_clientBits)
             ? X11Owner::WindowManager
             : X11Owner::Other;
}

int CX11Selection::FileDescriptor() const {
  return m_c != nullptr ? xcb_get_file_descriptor(m_c) : -1;
}

void CX11Selection::Dispatch() {
  if (m_c == nullptr)
    return;
  while (xcb_generic_event_t *e = xcb_poll_for_event(m_c)) {
    const Reply<xcb_generic_event_t> event(e);
    Handle(e);
  }
  if (!IsOpen()) {
    if (m_pRead->step != Read::Step::None)
      FinishRead(X11ReadStatus::Failed);
    m_pServed.reset();
    m_transfers.clear();
  }
  CheckDeadlines();
  xcb_flush(m_c);
  // Last, so that whatever it starts (a new read, a Serve) finds this round over.
  RunReadFinished();
}

std::optional<CX11Selection::Clock::time_point> CX11Selection::NextDeadline() const {
  std::optional<Clock::time_point> next;
  if (m_pRead->step != Read::Step::None)
    next = m_pRead->deadline;
  for (const Transfer &transfer : m_transfers)
    if (!next || transfer.lastStep + x11::StalledTransfer < *next)
      next = transfer.lastStep + x11::StalledTransfer;
  return next;
}

bool CX11Selection::RunUntil(const std::function<bool()> &done, Clock::time_point deadline) {
  bool held = false;
  RunPollLoop(
      {this},
      [&] {
        held = done();
        return held || !IsOpen();
      },
      deadline);
  return held;
}

void CX11Selection::Handle(const xcb_generic_event_t *event) {
  const std::uint8_t type = x11::EventType(event);
  if (m_fixesEvent != 0 && type == m_fixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
    const auto &notify = *reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(event);
    if (notify.selection == m_atoms.clipboard && m_ownerChanged)
      m_ownerChanged(OwnerKind(notify.owner));
    return;
  }
  switch (type) {
  case 0: { // an error: a request about a requestor's window that has gone
    const auto *error = reinterpret_cast<const xcb_generic_error_t *>(event);
    DropRequestor(error->resource_id);
    break;
  }
  case XCB_SELECTION_NOTIFY: {
    const auto &notify = *reinterpret_cast<const xcb_selection_notify_event_t *>(event);
    if (notify.requestor == m_window && notify.selection == m_atoms.clipboard)
      OnReadNotify(notify);
    else if (notify.requestor == m_saveWindow && m_saveWindow != XCB_NONE)
      OnSaveNotify(notify);
    break;
  }
  case XCB_PROPERTY_NOTIFY: {
    const auto &notify = *reinterpret_cast<const xcb_property_notify_event_t *>(event);
    if (notify.window != m_window) {
      OnRequestorProperty(notify);
    } else if (notify.atom == m_atoms.stampProperty) {
      m_stamp = notify.time;
    } else if (notify.atom == m_atoms.readProperty && notify.state == XCB_PROPERTY_NEW_VALUE &&
               (m_pRead->step == Read::Step::TargetsIncr ||
                m_pRead->step == Read::Step::DataIncr)) {
      OnReadPiece();
    }
    break;
  }
  case XCB_SELECTION_REQUEST:
    OnRequest(*reinterpret_cast<const xcb_selection_request_event_t *>(event));
    break;
  case XCB_SELECTION_CLEAR:
    OnSelectionClear(*reinterpret_cast<const xcb_selection_clear_event_t *>(event));
    break;
  case XCB_DESTROY_NOTIFY:
    DropRequestor(reinterpret_cast<const xcb_destroy_notify_event_t *>(event)->window);
    break;
  default: break;
  }
}

void CX11Selection::CheckDeadlines() {
  const Clock::time_point now = Clock::now();
  if (m_pRead->step != Read::Step::None && now >= m_pRead->deadline)
    FinishRead(X11ReadStatus::TimedOut);
  EndStalledTransfers(now);
}
