#include "clipboard/x11/x11_selection.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iterator>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#include "posix/huge_pages.h"

extern char **environ;

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// No owner offers more than a few dozen targets; a longer list is refused rather than spending
// the deadline on naming it.
constexpr std::size_t MaxTargets = 4096;
// Atom names are asked for this many at a time, the deadline checked before each batch.
constexpr std::size_t NameBatch = 256;
// A requestor that takes no INCR piece for this long has gone away without a word.
constexpr auto StalledTransfer = std::chrono::seconds(10);
// The first reservation for INCR pieces follows the owner's size hint, but only this far: the
// hint is the owner's word.
constexpr std::size_t FirstReservationLimit = std::size_t{64} << 20;

std::uint8_t EventType(const xcb_generic_event_t *event) { return event->response_type & 0x7f; }

} // namespace

// INCR pieces gathered in memory mapped for them: 2 MB-aligned and advised for huge pages, since
// on first touch a few large pages cost far less than thousands of small ones. The block grows by
// remapping, which moves no bytes, and never past the read's cap.
struct CX11Selection::Block {
  Block() = default;
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  ~Block() { UnmapHugePages(data, capacity); }

  bool Reserve(std::size_t wanted) {
    if (wanted <= capacity)
      return true;
    std::size_t mapped = capacity;
    std::uint8_t *block =
        data == nullptr ? MapHugePages(wanted, mapped) : GrowHugePages(data, mapped, wanted);
    if (block == nullptr)
      return false;
    data = block;
    capacity = mapped;
    return true;
  }
  // False when `cap` would be passed or there is no memory.
  bool Append(const void *bytes, std::size_t count, std::size_t cap, bool &tooLarge) {
    tooLarge = count > cap - size;
    if (tooLarge)
      return false;
    if (size + count > capacity && !Reserve(std::max(size + count, std::min(cap, 2 * capacity))))
      return false;
    if (count > 0)
      std::memcpy(data + size, bytes, count);
    size += count;
    return true;
  }

  std::uint8_t *data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
};

struct CX11Selection::Served {
  std::shared_ptr<const X11Bytes> bmp;
  std::shared_ptr<const X11Bytes> png; // taken on the first request
  bool pngMade = false;
  PngMaker makePng;
  std::future<X11Bytes> pngAhead; // the PNG being made on a thread of its own, when it is
  xcb_timestamp_t time = XCB_CURRENT_TIME;
};

struct CX11Selection::Transfer {
  xcb_window_t requestor;
  xcb_atom_t property;
  xcb_atom_t type;
  std::shared_ptr<const X11Bytes> data;
  std::size_t offset = 0;
  bool ended = false; // the empty piece is out; the transfer is over once it is taken
  Clock::time_point lastStep;
};

CX11Selection::CX11Selection(const char *display) : m_display(display != nullptr ? display : "") {
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
  // Pieces as large as one request may be (BIG-REQUESTS counted), less the request's header.
  m_maxPiece = std::size_t{xcb_get_maximum_request_length(m_c)} * 4 - 64;

  const char *const names[] = {"CLIPBOARD",
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
                               "VANTOLY_SAVE"};
  xcb_intern_atom_cookie_t cookies[std::size(names)];
  for (std::size_t i = 0; i < std::size(names); ++i)
    cookies[i] =
        xcb_intern_atom(m_c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  xcb_atom_t atoms[std::size(names)] = {};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(m_c, cookies[i], nullptr));
    atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  m_atoms = {atoms[0], atoms[1], atoms[2],  atoms[3],  atoms[4],  atoms[5],  atoms[6], atoms[7],
             atoms[8], atoms[9], atoms[10], atoms[11], atoms[12], atoms[13], atoms[14]};

  // An invisible window that owns the selection and receives the answers; property changes on
  // it drive INCR reads and give us server timestamps.
  m_window = xcb_generate_id(m_c);
  const std::uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen.data->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                    &eventMask);
  xcb_flush(m_c);
}

CX11Selection::~CX11Selection() {
  if (m_c != nullptr)
    xcb_disconnect(m_c);
}

bool CX11Selection::IsOpen() const { return m_c != nullptr && xcb_connection_has_error(m_c) == 0; }

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
    if (m_readStep != ReadStep::None)
      FinishRead(X11ReadStatus::Failed);
    m_pServed.reset();
    m_transfers.clear();
  }
  CheckDeadlines();
  xcb_flush(m_c);
  // Last, so that whatever it starts (a new read, a Serve) finds this round over.
  if (m_readFinishedPending) {
    m_readFinishedPending = false;
    if (m_finished) {
      const std::function<void()> finished = std::move(m_finished);
      m_finished = nullptr;
      finished();
    }
  }
}

std::optional<CX11Selection::Clock::time_point> CX11Selection::NextDeadline() const {
  std::optional<Clock::time_point> next;
  if (m_readStep != ReadStep::None)
    next = m_readDeadline;
  for (const Transfer &transfer : m_transfers)
    if (!next || transfer.lastStep + StalledTransfer < *next)
      next = transfer.lastStep + StalledTransfer;
  return next;
}

bool CX11Selection::RunUntil(const std::function<bool()> &done, Clock::time_point deadline) {
  for (;;) {
    Dispatch();
    if (done())
      return true;
    const Clock::time_point now = Clock::now();
    if (!IsOpen() || now >= deadline)
      return false;
    Clock::time_point wake = deadline;
    if (const auto next = NextDeadline())
      wake = std::min(wake, *next);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
    pollfd fd{FileDescriptor(), POLLIN, 0};
    const int timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        left.count(), 0, std::numeric_limits<int>::max()));
    if (poll(&fd, 1, timeout) < 0 && errno != EINTR)
      return false;
  }
}

void CX11Selection::Handle(const xcb_generic_event_t *event) {
  switch (EventType(event)) {
  case 0: { // an error: a request about a requestor's window that has gone
    const auto *error = reinterpret_cast<const xcb_generic_error_t *>(event);
    DropRequestor(error->resource_id);
    break;
  }
  case XCB_SELECTION_NOTIFY: {
    const auto &notify = *reinterpret_cast<const xcb_selection_notify_event_t *>(event);
    if (notify.requestor != m_window)
      break;
    if (notify.selection == m_atoms.manager && notify.target == m_atoms.saveTargets)
      m_saveAnswer =
          notify.property == XCB_ATOM_NONE ? X11SaveStatus::Refused : X11SaveStatus::Saved;
    else if (notify.selection == m_atoms.clipboard)
      OnReadNotify(notify);
    break;
  }
  case XCB_PROPERTY_NOTIFY: {
    const auto &notify = *reinterpret_cast<const xcb_property_notify_event_t *>(event);
    if (notify.window != m_window) {
      OnRequestorProperty(notify);
    } else if (notify.atom == m_atoms.stampProperty) {
      m_stamp = notify.time;
    } else if (notify.atom == m_atoms.readProperty && notify.state == XCB_PROPERTY_NEW_VALUE &&
               (m_readStep == ReadStep::TargetsIncr || m_readStep == ReadStep::DataIncr)) {
      OnReadPiece();
    }
    break;
  }
  case XCB_SELECTION_REQUEST:
    OnRequest(*reinterpret_cast<const xcb_selection_request_event_t *>(event));
    break;
  case XCB_SELECTION_CLEAR: {
    const auto &clear = *reinterpret_cast<const xcb_selection_clear_event_t *>(event);
    if (clear.owner == m_window && clear.selection == m_atoms.clipboard && m_pServed) {
      m_pServed.reset();
      if (m_lost)
        m_lost();
    }
    break;
  }
  case XCB_DESTROY_NOTIFY:
    DropRequestor(reinterpret_cast<const xcb_destroy_notify_event_t *>(event)->window);
    break;
  default: break;
  }
}

void CX11Selection::CheckDeadlines() {
  const Clock::time_point now = Clock::now();
  if (m_readStep != ReadStep::None && now >= m_readDeadline)
    FinishRead(X11ReadStatus::TimedOut);
  std::erase_if(m_transfers, [now](const Transfer &transfer) {
    return now >= transfer.lastStep + StalledTransfer;
  });
}

// Reading ---------------------------------------------------------------------------------------

void CX11Selection::StartRead(TargetChooser choose, Clock::duration timeout, std::size_t byteCap,
                              std::function<void()> finished) {
  CancelRead();
  m_pBlock.reset();
  m_readTarget.clear();
  m_choose = std::move(choose);
  m_finished = std::move(finished);
  m_byteCap = byteCap;
  m_readDeadline = Clock::now() + timeout;
  m_readStatus = X11ReadStatus::Running;
  if (!IsOpen()) {
    FinishRead(X11ReadStatus::Failed);
    return;
  }
  m_readStep = ReadStep::Targets;
  m_requested = m_atoms.targets;
  // A property left over from a read given up midway must not pass for the new answer.
  xcb_delete_property(m_c, m_window, m_atoms.readProperty);
  xcb_convert_selection(m_c, m_window, m_atoms.clipboard, m_atoms.targets, m_atoms.readProperty,
                        XCB_CURRENT_TIME);
  xcb_flush(m_c);
}

void CX11Selection::CancelRead() {
  if (m_readStatus != X11ReadStatus::Running && !m_readFinishedPending)
    return;
  m_finished = nullptr;
  m_readFinishedPending = false;
  if (m_readStatus == X11ReadStatus::Running)
    FinishRead(X11ReadStatus::Cancelled);
  m_readFinishedPending = false;
}

const std::uint8_t *CX11Selection::ReadData() const {
  return m_readStatus == X11ReadStatus::Done && m_pBlock ? m_pBlock->data : nullptr;
}

std::size_t CX11Selection::ReadSize() const {
  return m_readStatus == X11ReadStatus::Done && m_pBlock ? m_pBlock->size : 0;
}

void CX11Selection::ReleaseReadData() { m_pBlock.reset(); }

void CX11Selection::FinishRead(X11ReadStatus status) {
  m_readStep = ReadStep::None;
  m_readStatus = status;
  m_choose = nullptr;
  if (status != X11ReadStatus::Done)
    m_pBlock.reset();
  if (m_c != nullptr && IsOpen())
    xcb_delete_property(m_c, m_window, m_atoms.readProperty);
  m_readFinishedPending = true;
}

void CX11Selection::OnReadNotify(const xcb_selection_notify_event_t &notify) {
  if ((m_readStep != ReadStep::Targets && m_readStep != ReadStep::Data) ||
      notify.target != m_requested)
    return;
  if (Clock::now() >= m_readDeadline)
    return FinishRead(X11ReadStatus::TimedOut);
  if (notify.property == XCB_ATOM_NONE)
    return FinishRead(X11ReadStatus::NoOwner);
  TakeProperty(true);
}

void CX11Selection::OnReadPiece() {
  if (Clock::now() >= m_readDeadline)
    return FinishRead(X11ReadStatus::TimedOut);
  TakeProperty(false);
}

// Takes the answer's property and deletes it; deleting is also what asks an INCR owner for its
// next piece. False when the read ended here.
bool CX11Selection::TakeProperty(bool first) {
  const bool targets = m_readStep == ReadStep::Targets || m_readStep == ReadStep::TargetsIncr;
  const std::size_t cap = targets ? MaxTargets * sizeof(xcb_atom_t) : m_byteCap;
  // One byte beyond the cap tells a value that passes it from one that meets it.
  const std::uint32_t longs = static_cast<std::uint32_t>(
      std::min<std::size_t>(cap / 4 + 1, std::numeric_limits<std::uint32_t>::max() / 4));
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      m_c,
      xcb_get_property(m_c, 1, m_window, m_atoms.readProperty, XCB_GET_PROPERTY_TYPE_ANY, 0, longs),
      nullptr));
  if (!reply) {
    FinishRead(X11ReadStatus::Failed);
    return false;
  }
  if (reply->bytes_after > 0) {
    FinishRead(X11ReadStatus::TooLarge);
    return false;
  }
  // An owner sets the property before it says so: a notice without one is a late answer to a
  // read given up before this one.
  if (first && reply->type == XCB_ATOM_NONE)
    return true;
  const auto length =
      static_cast<std::size_t>(std::max(0, xcb_get_property_value_length(reply.get())));
  if (!m_pBlock)
    m_pBlock = std::make_unique<Block>();
  if (first && reply->type == m_atoms.incr) {
    // Its value is a lower bound of the size.
    if (length >= 4) {
      std::uint32_t hint = 0;
      std::memcpy(&hint, xcb_get_property_value(reply.get()), 4);
      if (!m_pBlock->Reserve(std::min({std::size_t{hint}, cap, FirstReservationLimit}))) {
        FinishRead(X11ReadStatus::Failed);
        return false;
      }
    }
    m_readStep = targets ? ReadStep::TargetsIncr : ReadStep::DataIncr;
    xcb_flush(m_c);
    return true;
  }
  if (targets && reply->format != 32 && length > 0) {
    FinishRead(X11ReadStatus::NoPicture);
    return false;
  }
  bool tooLarge = false;
  if (!m_pBlock->Append(xcb_get_property_value(reply.get()), length, cap, tooLarge)) {
    FinishRead(tooLarge ? X11ReadStatus::TooLarge : X11ReadStatus::Failed);
    return false;
  }
  // A whole answer, or the empty piece that ends an INCR one.
  if (first || length == 0) {
    if (targets)
      ChooseTarget();
    else
      FinishRead(X11ReadStatus::Done);
  }
  return true;
}

void CX11Selection::ChooseTarget() {
  std::vector<xcb_atom_t> offered(m_pBlock->size / sizeof(xcb_atom_t));
  if (!offered.empty())
    std::memcpy(offered.data(), m_pBlock->data, offered.size() * sizeof(xcb_atom_t));
  m_pBlock.reset();
  // The names, a batch at a time; names already known are not asked again.
  std::vector<xcb_atom_t> unknown;
  for (const xcb_atom_t atom : offered)
    if (!m_atomNames.contains(atom) &&
        std::find(unknown.begin(), unknown.end(), atom) == unknown.end())
      unknown.push_back(atom);
  for (std::size_t first = 0; first < unknown.size(); first += NameBatch) {
    if (Clock::now() >= m_readDeadline)
      return FinishRead(X11ReadStatus::TimedOut);
    const std::size_t count = std::min(NameBatch, unknown.size() - first);
    std::vector<xcb_get_atom_name_cookie_t> cookies(count);
    for (std::size_t i = 0; i < count; ++i)
      cookies[i] = xcb_get_atom_name(m_c, unknown[first + i]);
    for (std::size_t i = 0; i < count; ++i) {
      const Reply<xcb_get_atom_name_reply_t> name(
          xcb_get_atom_name_reply(m_c, cookies[i], nullptr));
      m_atomNames[unknown[first + i]] =
          name ? std::string(xcb_get_atom_name_name(name.get()),
                             static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())))
               : std::string();
    }
  }
  std::vector<std::string> names;
  names.reserve(offered.size());
  for (const xcb_atom_t atom : offered)
    names.push_back(m_atomNames[atom]);
  const std::string chosen = m_choose ? m_choose(names) : std::string();
  const auto found = std::find(names.begin(), names.end(), chosen);
  if (chosen.empty() || found == names.end())
    return FinishRead(X11ReadStatus::NoPicture);
  m_readTarget = chosen;
  m_requested = offered[static_cast<std::size_t>(found - names.begin())];
  m_readStep = ReadStep::Data;
  xcb_convert_selection(m_c, m_window, m_atoms.clipboard, m_requested, m_atoms.readProperty,
                        XCB_CURRENT_TIME);
  xcb_flush(m_c);
}

// Serving ---------------------------------------------------------------------------------------

bool CX11Selection::Serve(X11Bytes bmp, PngMaker makePng, Clock::time_point deadline) {
  if (!IsOpen())
    return false;
  // A server timestamp for the ownership: appending nothing to a property of our own window
  // brings a PropertyNotify that carries the server's time.
  m_stamp.reset();
  xcb_change_property(m_c, XCB_PROP_MODE_APPEND, m_window, m_atoms.stampProperty, m_atoms.integer,
                      32, 0, nullptr);
  xcb_flush(m_c);
  if (!RunUntil([this] { return m_stamp.has_value(); }, deadline))
    return false;
  const xcb_timestamp_t time = *m_stamp;
  xcb_set_selection_owner(m_c, m_window, m_atoms.clipboard, time);
  const Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_atoms.clipboard), nullptr));
  if (!owner || owner->owner != m_window)
    return false;
  auto served = std::make_unique<Served>();
  served->bmp = std::make_shared<const X11Bytes>(std::move(bmp));
  served->makePng = std::move(makePng);
  served->time = time;
  // Most Linux programs paste PNG, and a clipboard manager takes it too, so it is nearly always
  // asked for; made now on the other core, it is ready or nearly so when the first request
  // comes, rather than holding that request (and every other one) up while it is made. With
  // one core it waits for the request.
  if (served->makePng && std::thread::hardware_concurrency() > 1) {
    try {
      served->pngAhead = std::async(
          std::launch::async, [bmp = served->bmp, make = served->makePng] { return make(*bmp); });
    } catch (const std::system_error &) {
      // No thread to be had: made on the first request instead.
    }
  }
  m_pServed = std::move(served);
  return true;
}

const X11Bytes *CX11Selection::ServedBmp() const {
  return m_pServed ? m_pServed->bmp.get() : nullptr;
}

std::shared_ptr<const X11Bytes> CX11Selection::Png() {
  if (!m_pServed->pngMade) {
    // Made once. This runs inside event handling, where an exception must not arrive: without
    // memory the requestor gets a refusal.
    m_pServed->pngMade = true;
    try {
      X11Bytes png = m_pServed->pngAhead.valid() ? m_pServed->pngAhead.get()
                     : m_pServed->makePng        ? m_pServed->makePng(*m_pServed->bmp)
                                                 : X11Bytes();
      if (!png.empty())
        m_pServed->png = std::make_shared<const X11Bytes>(std::move(png));
    } catch (const std::bad_alloc &) {
      m_pServed->png.reset();
    }
  }
  return m_pServed->png;
}

void CX11Selection::OnRequest(const xcb_selection_request_event_t &request) {
  // Requestors that still name no property want the answer in the target's own.
  const xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
  bool answered = false;
  // A request from before we took the selection is about an earlier owner's contents.
  if (m_pServed && request.owner == m_window && request.selection == m_atoms.clipboard &&
      (request.time == XCB_CURRENT_TIME || request.time >= m_pServed->time)) {
    try {
      answered = request.target == m_atoms.multiple
                     ? AnswerMultiple(request.requestor, property)
                     : Answer(request.requestor, request.target, property);
    } catch (const std::bad_alloc &) {
      answered = false;
    }
  }
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = answered ? property : xcb_atom_t{XCB_ATOM_NONE};
  xcb_send_event(m_c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char *>(&notify));
  xcb_flush(m_c);
}

bool CX11Selection::Answer(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
  if (target == m_atoms.targets) {
    const xcb_atom_t targets[] = {m_atoms.targets, m_atoms.timestamp, m_atoms.multiple, m_atoms.bmp,
                                  m_atoms.png};
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.atom, 32,
                        static_cast<std::uint32_t>(std::size(targets)), targets);
    return true;
  }
  if (target == m_atoms.timestamp) {
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.integer, 32, 1,
                        &m_pServed->time);
    return true;
  }
  if (target == m_atoms.bmp)
    return Put(requestor, property, target, m_pServed->bmp);
  if (target == m_atoms.png) {
    std::shared_ptr<const X11Bytes> png = Png();
    return png && Put(requestor, property, target, std::move(png));
  }
  return false;
}

// MULTIPLE: the property holds (target, property) pairs; each is answered in turn, and a pair
// we cannot answer gets None for its property.
bool CX11Selection::AnswerMultiple(xcb_window_t requestor, xcb_atom_t property) {
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      m_c,
      xcb_get_property(m_c, 0, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 2 * MaxTargets),
      nullptr));
  if (!reply || reply->format != 32)
    return false;
  const auto count =
      static_cast<std::size_t>(std::max(0, xcb_get_property_value_length(reply.get()))) /
      sizeof(xcb_atom_t) / 2 * 2;
  std::vector<xcb_atom_t> pairs(count);
  if (count > 0)
    std::memcpy(pairs.data(), xcb_get_property_value(reply.get()), count * sizeof(xcb_atom_t));
  for (std::size_t i = 0; i < count; i += 2)
    if (pairs[i + 1] == XCB_ATOM_NONE || pairs[i] == m_atoms.multiple ||
        !Answer(requestor, pairs[i], pairs[i + 1]))
      pairs[i + 1] = XCB_ATOM_NONE;
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.atomPair, 32,
                      static_cast<std::uint32_t>(count), pairs.data());
  return true;
}

bool CX11Selection::Put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
                        std::shared_ptr<const X11Bytes> data) {
  if (data->size() <= m_maxPiece) {
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                        static_cast<std::uint32_t>(data->size()), data->data());
    return true;
  }
  // INCR: the requestor deletes the property to ask for each piece. Its window's property
  // changes (and its end) must reach us before it can delete anything.
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(m_c, requestor, XCB_CW_EVENT_MASK, &mask);
  const auto size = static_cast<std::uint32_t>(
      std::min<std::size_t>(data->size(), std::numeric_limits<std::uint32_t>::max()));
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms.incr, 32, 1, &size);
  // A new request on the same property replaces a transfer the requestor gave up.
  std::erase_if(m_transfers, [&](const Transfer &t) {
    return t.requestor == requestor && t.property == property;
  });
  m_transfers.push_back({requestor, property, type, std::move(data), 0, false, Clock::now()});
  return true;
}

void CX11Selection::OnRequestorProperty(const xcb_property_notify_event_t &event) {
  if (event.state != XCB_PROPERTY_DELETE)
    return;
  const auto transfer =
      std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer &t) {
        return t.requestor == event.window && t.property == event.atom;
      });
  if (transfer == m_transfers.end())
    return;
  if (transfer->ended) {
    m_transfers.erase(transfer);
    return;
  }
  const std::size_t count = std::min(m_maxPiece, transfer->data->size() - transfer->offset);
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, transfer->requestor, transfer->property,
                      transfer->type, 8, static_cast<std::uint32_t>(count),
                      transfer->data->data() + transfer->offset);
  transfer->offset += count;
  transfer->lastStep = Clock::now();
  // The empty piece has gone out: nothing more is owed once the requestor takes it.
  if (count == 0)
    transfer->ended = true;
}

void CX11Selection::DropRequestor(xcb_window_t window) {
  std::erase_if(m_transfers, [window](const Transfer &t) { return t.requestor == window; });
}

// Saving ----------------------------------------------------------------------------------------

X11SaveStatus CX11Selection::SaveToManager(Clock::time_point deadline) {
  if (!IsOpen() || !m_pServed)
    return X11SaveStatus::NoManager;
  const Reply<xcb_get_selection_owner_reply_t> manager(
      xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_atoms.manager), nullptr));
  if (!manager || manager->owner == XCB_NONE)
    return X11SaveStatus::NoManager;
  // The targets worth keeping; the manager asks for them (and for TARGETS) while we wait.
  const xcb_atom_t targets[] = {m_atoms.bmp, m_atoms.png};
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, m_window, m_atoms.saveProperty, m_atoms.atom, 32,
                      static_cast<std::uint32_t>(std::size(targets)), targets);
  m_saveAnswer.reset();
  xcb_convert_selection(m_c, m_window, m_atoms.manager, m_atoms.saveTargets, m_atoms.saveProperty,
                        m_pServed->time);
  xcb_flush(m_c);
  if (!RunUntil([this] { return m_saveAnswer.has_value(); }, deadline))
    return X11SaveStatus::TimedOut;
  return *m_saveAnswer;
}

// The keeper ------------------------------------------------------------------------------------

bool StartKeeper(const std::string &path, const std::string &display, const X11Bytes &bmp,
                 CX11Selection::Clock::time_point deadline) {
  const int memory = memfd_create("vantoly-result", MFD_CLOEXEC);
  if (memory < 0)
    return false;
  bool written = true;
  for (std::size_t done = 0; written && done < bmp.size();) {
    const ssize_t count = write(memory, bmp.data() + done, bmp.size() - done);
    if (count > 0)
      done += static_cast<std::size_t>(count);
    else
      written = count < 0 && errno == EINTR;
  }
  int confirm[2];
  if (!written || lseek(memory, 0, SEEK_SET) != 0 || pipe2(confirm, O_CLOEXEC) != 0) {
    close(memory);
    return false;
  }
  // The keeper gets its input, its confirmation pipe and our standard error, nothing else; it
  // starts a session of its own, so that it outlives the terminal the dialog came from.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, memory, 0);
  posix_spawn_file_actions_adddup2(&actions, confirm[1], 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::string program = path, name = display;
  char *argv[] = {program.data(), name.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(memory);
  close(confirm[1]);
  bool confirmed = false;
  while (spawned == 0) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - CX11Selection::Clock::now());
    if (left.count() <= 0)
      break;
    pollfd fd{confirm[0], POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR)
      continue;
    char byte = 0;
    confirmed = ready > 0 && read(confirm[0], &byte, 1) == 1;
    break;
  }
  close(confirm[0]);
  return confirmed;
}
