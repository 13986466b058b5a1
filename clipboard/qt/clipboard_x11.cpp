#include "clipboard/qt/clipboard_x11.h"

#include <xcb/xcb.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;
using Event = Reply<xcb_generic_event_t>;

struct Disconnect {
  void operator()(xcb_connection_t *c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

// Gathers INCR pieces in memory mapped for them: 2 MB-aligned and advised for huge pages, since
// on first touch a few large pages cost far less than thousands of small ones. An owner's size
// hint is only a hint: the first reservation is capped, and the block grows by remapping,
// which moves no bytes. Nothing larger than a picture we would accept is gathered.
constexpr std::size_t HugePage = std::size_t{2} << 20;
constexpr std::size_t FirstReservationLimit = std::size_t{256} << 20;
constexpr std::size_t DataLimit = std::size_t{2} << 30;

class CGrowingBlock {
public:
  CGrowingBlock() = default;
  CGrowingBlock(const CGrowingBlock &) = delete;
  CGrowingBlock &operator=(const CGrowingBlock &) = delete;
  ~CGrowingBlock() {
    if (m_data != nullptr)
      munmap(m_data, m_capacity);
  }

  bool Reserve(std::size_t capacity) {
    capacity = (capacity + HugePage - 1) / HugePage * HugePage;
    if (capacity <= m_capacity)
      return true;
    void *block;
    if (m_data == nullptr) {
      // Mapped one huge page larger, then trimmed to an aligned start.
      void *mapped = mmap(nullptr, capacity + HugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapped == MAP_FAILED)
        return false;
      const auto address = reinterpret_cast<std::uintptr_t>(mapped);
      const std::uintptr_t aligned = (address + HugePage - 1) / HugePage * HugePage;
      if (aligned != address)
        munmap(mapped, aligned - address);
      munmap(reinterpret_cast<void *>(aligned + capacity), HugePage - (aligned - address));
      block = reinterpret_cast<void *>(aligned);
    } else {
      block = mremap(m_data, m_capacity, capacity, MREMAP_MAYMOVE);
      if (block == MAP_FAILED)
        return false;
    }
    madvise(block, capacity, MADV_HUGEPAGE);
    m_data = static_cast<std::uint8_t *>(block);
    m_capacity = capacity;
    return true;
  }
  bool Append(const void *data, std::size_t size) {
    if (size > DataLimit - m_size)
      return false;
    if (m_size + size > m_capacity &&
        !Reserve(std::max(m_size + size, std::min(DataLimit, 2 * m_capacity))))
      return false;
    std::memcpy(m_data + m_size, data, size);
    m_size += size;
    return true;
  }
  const std::uint8_t *Data() const { return m_data; }
  std::size_t Size() const { return m_size; }

private:
  std::uint8_t *m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
};

// The talk with the selection's owner over one connection.
class CSelectionTalk {
public:
  CSelectionTalk(xcb_connection_t *c, xcb_window_t window, xcb_atom_t selection,
                 xcb_atom_t property, int cancelFd, std::chrono::steady_clock::time_point deadline)
      : m_c(c), m_window(window), m_selection(selection), m_property(property),
        m_cancelFd(cancelFd), m_deadline(deadline) {}

  // Asks the owner to convert the selection to `target` into our property, and waits for its
  // answer. Done when the property holds it, NoOwner when the owner refused (or there is none).
  X11ReadStatus Convert(xcb_atom_t target) {
    xcb_convert_selection(m_c, m_window, m_selection, target, m_property, XCB_CURRENT_TIME);
    xcb_flush(m_c);
    Event event;
    const X11ReadStatus status = WaitEvent(
        [this, target](const xcb_generic_event_t *e) {
          if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY)
            return false;
          const auto *n = reinterpret_cast<const xcb_selection_notify_event_t *>(e);
          return n->requestor == m_window && n->selection == m_selection && n->target == target;
        },
        event);
    if (status != X11ReadStatus::Done)
      return status;
    const auto *notify = reinterpret_cast<const xcb_selection_notify_event_t *>(event.get());
    return notify->property == XCB_ATOM_NONE ? X11ReadStatus::NoOwner : X11ReadStatus::Done;
  }

  // Takes the property and deletes it: the whole value, or for an INCR answer every piece
  // until the empty one. On Done, `reply` owns the bytes when they came whole, else `block`.
  X11ReadStatus TakeProperty(xcb_atom_t incr, Reply<xcb_get_property_reply_t> &reply,
                             CGrowingBlock &block) {
    reply = GetProperty();
    if (!reply)
      return X11ReadStatus::Failed;
    if (reply->type != incr)
      return X11ReadStatus::Done;
    // Deleting the INCR property (done by the read above) tells the owner to send the first
    // piece. Its value is a lower bound of the size.
    if (xcb_get_property_value_length(reply.get()) >= 4) {
      std::uint32_t hint = 0;
      std::memcpy(&hint, xcb_get_property_value(reply.get()), 4);
      if (!block.Reserve(std::min<std::size_t>(hint, FirstReservationLimit)))
        return X11ReadStatus::Failed;
    }
    reply.reset();
    xcb_flush(m_c);
    for (;;) {
      Event event;
      const X11ReadStatus status = WaitEvent(
          [this](const xcb_generic_event_t *e) {
            if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
              return false;
            const auto *n = reinterpret_cast<const xcb_property_notify_event_t *>(e);
            return n->window == m_window && n->atom == m_property &&
                   n->state == XCB_PROPERTY_NEW_VALUE;
          },
          event);
      if (status != X11ReadStatus::Done)
        return status;
      const Reply<xcb_get_property_reply_t> piece = GetProperty();
      if (!piece)
        return X11ReadStatus::Failed;
      const int length = xcb_get_property_value_length(piece.get());
      if (length <= 0)
        return X11ReadStatus::Done; // the empty piece ends the transfer
      if (!block.Append(xcb_get_property_value(piece.get()), static_cast<std::size_t>(length)))
        return X11ReadStatus::Failed;
    }
  }

private:
  // The property's whole value, deleting it.
  Reply<xcb_get_property_reply_t> GetProperty() {
    return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(
        m_c,
        xcb_get_property(m_c, 1, m_window, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0,
                         std::numeric_limits<std::uint32_t>::max() / 4),
        nullptr));
  }

  // Waits for an event `accept` takes, discarding the others, until the deadline or a cancel.
  template <typename Accept> X11ReadStatus WaitEvent(Accept accept, Event &out) {
    for (;;) {
      while (xcb_generic_event_t *e = xcb_poll_for_event(m_c)) {
        Event event(e);
        if (accept(e)) {
          out = std::move(event);
          return X11ReadStatus::Done;
        }
      }
      if (xcb_connection_has_error(m_c) != 0)
        return X11ReadStatus::Failed;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          m_deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return X11ReadStatus::TimedOut;
      pollfd fds[2] = {{xcb_get_file_descriptor(m_c), POLLIN, 0}, {m_cancelFd, POLLIN, 0}};
      if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
        return X11ReadStatus::Failed;
      if ((fds[1].revents & POLLIN) != 0)
        return X11ReadStatus::Cancelled;
    }
  }

  xcb_connection_t *m_c;
  xcb_window_t m_window;
  xcb_atom_t m_selection;
  xcb_atom_t m_property;
  int m_cancelFd;
  std::chrono::steady_clock::time_point m_deadline;
};

} // namespace

CX11SelectionRead::CX11SelectionRead(std::string display, TargetChooser choose,
                                     std::chrono::milliseconds timeout)
    : m_display(std::move(display)), m_choose(std::move(choose)), m_timeout(timeout) {
  m_cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CX11SelectionRead::~CX11SelectionRead() {
  Cancel();
  Join();
  if (m_cancelFd >= 0)
    close(m_cancelFd);
}

void CX11SelectionRead::Start(std::function<void()> finished) {
  m_finished = std::move(finished);
  m_deadline = std::chrono::steady_clock::now() + m_timeout;
  try {
    m_thread = std::thread(&CX11SelectionRead::Run, this);
  } catch (const std::system_error &) {
    Run(); // no thread to be had: the caller waits here, still within the deadline
  }
}

void CX11SelectionRead::Cancel() {
  if (m_cancelFd < 0)
    return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(m_cancelFd, &one, sizeof one);
}

void CX11SelectionRead::Join() {
  if (m_thread.joinable())
    m_thread.join();
}

X11ReadStatus CX11SelectionRead::Status() const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  return m_status;
}

void CX11SelectionRead::Run() {
  X11ReadStatus status = X11ReadStatus::Failed;
  if (m_cancelFd >= 0) {
    try {
      status = Read();
    } catch (const std::bad_alloc &) {
      status = X11ReadStatus::Failed;
    }
  }
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_status = status;
  }
  if (m_finished)
    m_finished();
}

X11ReadStatus CX11SelectionRead::Read() {
  int screenNumber = 0;
  const Connection connection(
      xcb_connect(m_display.empty() ? nullptr : m_display.c_str(), &screenNumber));
  xcb_connection_t *c = connection.get();
  if (xcb_connection_has_error(c) != 0)
    return X11ReadStatus::NoDisplay;
  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && screen.rem > 0; ++i)
    xcb_screen_next(&screen);
  if (screen.rem == 0)
    return X11ReadStatus::NoDisplay;

  // The atoms in one round trip.
  const char *const names[] = {"CLIPBOARD", "TARGETS", "INCR", "VANTOLY_SELECTION"};
  xcb_intern_atom_cookie_t cookies[std::size(names)];
  for (std::size_t i = 0; i < std::size(names); ++i)
    cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  xcb_atom_t atoms[std::size(names)];
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
    if (!reply)
      return X11ReadStatus::Failed;
    atoms[i] = reply->atom;
  }
  const xcb_atom_t clipboard = atoms[0], targets = atoms[1], incr = atoms[2], property = atoms[3];

  // An invisible window to receive the answers; property changes drive INCR transfers.
  const xcb_window_t window = xcb_generate_id(c);
  const std::uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen.data->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                    &eventMask);
  CSelectionTalk talk(c, window, clipboard, property, m_cancelFd, m_deadline);

  // What the owner offers.
  X11ReadStatus status = talk.Convert(targets);
  if (status != X11ReadStatus::Done)
    return status;
  Reply<xcb_get_property_reply_t> reply;
  std::vector<xcb_atom_t> offered;
  {
    CGrowingBlock pieces;
    status = talk.TakeProperty(incr, reply, pieces);
    if (status != X11ReadStatus::Done)
      return status;
    const void *list = reply ? xcb_get_property_value(reply.get()) : pieces.Data();
    const std::size_t size =
        reply ? static_cast<std::size_t>(std::max(0, xcb_get_property_value_length(reply.get())))
              : pieces.Size();
    if (!reply || reply->format == 32) {
      offered.resize(size / sizeof(xcb_atom_t));
      if (!offered.empty())
        std::memcpy(offered.data(), list, offered.size() * sizeof(xcb_atom_t));
    }
  }
  offered.erase(std::remove(offered.begin(), offered.end(), XCB_ATOM_NONE), offered.end());
  std::vector<xcb_get_atom_name_cookie_t> nameCookies;
  for (const xcb_atom_t atom : offered)
    nameCookies.push_back(xcb_get_atom_name(c, atom));
  std::vector<std::string> offeredNames;
  for (const xcb_get_atom_name_cookie_t cookie : nameCookies) {
    const Reply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(c, cookie, nullptr));
    offeredNames.emplace_back(
        name ? std::string(xcb_get_atom_name_name(name.get()),
                           static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())))
             : std::string());
  }
  m_target = m_choose ? m_choose(offeredNames) : std::string();
  const auto chosen = std::find(offeredNames.begin(), offeredNames.end(), m_target);
  if (m_target.empty() || chosen == offeredNames.end())
    return X11ReadStatus::NoPicture;

  // The one picture we take.
  status = talk.Convert(offered[static_cast<std::size_t>(chosen - offeredNames.begin())]);
  if (status != X11ReadStatus::Done)
    return status;
  auto block = std::make_shared<CGrowingBlock>();
  status = talk.TakeProperty(incr, reply, *block);
  if (status != X11ReadStatus::Done)
    return status;
  if (reply) {
    m_size = static_cast<std::size_t>(std::max(0, xcb_get_property_value_length(reply.get())));
    m_data = static_cast<const std::uint8_t *>(xcb_get_property_value(reply.get()));
    m_keep = std::shared_ptr<void>(std::move(reply));
  } else {
    m_size = block->Size();
    m_data = block->Data();
    m_keep = std::move(block);
  }
  return X11ReadStatus::Done;
}
