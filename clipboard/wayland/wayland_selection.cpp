#include "clipboard/wayland/wayland_selection.h"

#include <fcntl.h>
#include <unistd.h>

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace {

// A requestor that takes no byte for this long has gone away without a word.
constexpr auto StalledTransfer = std::chrono::seconds(10);
// More requestors at once than any desktop makes; past this, a request is refused at once
// rather than holding one more descriptor.
constexpr std::size_t MaxTransfers = 64;
// At most this much to one requestor per round, so that a fast reader does not hold up the
// others (nor the compositor's events) while it takes a large picture.
constexpr std::size_t RoundBytes = std::size_t{1} << 20;

wl_proxy *AsProxy(void *object) { return static_cast<wl_proxy *>(object); }

} // namespace

struct CWaylandSelection::Transfer {
  int fd;
  std::shared_ptr<const std::uint8_t> data;
  std::size_t size;
  std::size_t offset = 0;
  Clock::time_point lastStep;
};

CWaylandSelection::CWaylandSelection(const char *display, Clock::time_point deadline) {
  Connect(display, deadline);
}

void CWaylandSelection::Connect(const char *display, Clock::time_point deadline) {
  // libwayland would try "wayland-0" when nothing is named; under X11 that is nobody's.
  if (display == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
      std::getenv("WAYLAND_SOCKET") == nullptr)
    return;
  m_display = wl_display_connect(display);
  if (m_display == nullptr)
    return;
  m_connected = true;
  static const wl_registry_listener registryListener = {OnGlobal, OnGlobalRemove};
  m_registry = wl_display_get_registry(m_display);
  if (m_registry == nullptr || wl_registry_add_listener(m_registry, &registryListener, this) != 0 ||
      !Roundtrip(deadline))
    return Disconnect(WaylandStatus::Broken);
  // A global's version is never 0: 0 is one not seen.
  const Global &manager = m_extGlobal.version != 0 ? m_extGlobal : m_wlrGlobal;
  if (manager.version == 0)
    return Disconnect(WaylandStatus::NoDataControl);
  if (m_seatGlobal.version == 0)
    return Disconnect(WaylandStatus::NoSeat);
  m_api = m_extGlobal.version != 0 ? &ExtDataControl : &WlrDataControl;
  m_seat = AsProxy(wl_registry_bind(m_registry, m_seatGlobal.name, &wl_seat_interface, 1));
  m_manager = AsProxy(wl_registry_bind(m_registry, manager.name, m_api->manager, m_api->version));
  if (m_seat != nullptr && m_manager != nullptr)
    m_device = m_api->getDevice(m_manager, reinterpret_cast<wl_seat *>(m_seat), this);
  // The device's first event tells what is on the selection now.
  if (m_device == nullptr || !Roundtrip(deadline) || !m_connected)
    return Disconnect(WaylandStatus::Broken);
  m_status = WaylandStatus::Ready;
  m_changedPending = false;
}

CWaylandSelection::~CWaylandSelection() {
  for (const Transfer &transfer : m_transfers)
    close(transfer.fd);
  Disconnect(m_status);
}

// Every object goes before the connection does. Requests on a connection that has failed are
// not sent, so this is safe after any failure.
void CWaylandSelection::Disconnect(WaylandStatus status) {
  m_status = status;
  m_connected = false;
  if (m_display == nullptr)
    return;
  DropOffers();
  if (m_selectionOffer != nullptr)
    m_api->destroyOffer(m_selectionOffer);
  m_selectionOffer = nullptr;
  if (m_source != nullptr)
    m_api->destroySource(m_source);
  m_source = nullptr;
  if (m_device != nullptr)
    m_api->destroyDevice(m_device);
  m_device = nullptr;
  if (m_manager != nullptr)
    m_api->destroyManager(m_manager);
  m_manager = nullptr;
  if (m_seat != nullptr)
    wl_proxy_destroy(m_seat);
  m_seat = nullptr;
  if (m_registry != nullptr)
    wl_registry_destroy(m_registry);
  m_registry = nullptr;
  wl_display_flush(m_display);
  wl_display_disconnect(m_display);
  m_display = nullptr;
}

std::string CWaylandSelection::ProtocolName() const { return m_api != nullptr ? m_api->name : ""; }

void CWaylandSelection::OnGlobal(void *data, wl_registry *, std::uint32_t name,
                                 const char *interface, std::uint32_t version) {
  auto *self = static_cast<CWaylandSelection *>(data);
  const std::string_view kind(interface);
  if (kind == "wl_seat" && self->m_seatGlobal.version == 0)
    self->m_seatGlobal = {name, version};
  else if (kind == ExtDataControl.name && version >= ExtDataControl.version)
    self->m_extGlobal = {name, version};
  else if (kind == WlrDataControl.name && version >= WlrDataControl.version)
    self->m_wlrGlobal = {name, version};
}

void CWaylandSelection::OnGlobalRemove(void *data, wl_registry *, std::uint32_t name) {
  auto *self = static_cast<CWaylandSelection *>(data);
  const Global &manager = self->m_api == &ExtDataControl ? self->m_extGlobal : self->m_wlrGlobal;
  if (self->m_device != nullptr && (name == self->m_seatGlobal.name || name == manager.name))
    self->OnDeviceFinished();
}

// Polling ---------------------------------------------------------------------------------------

int CWaylandSelection::PollDescriptor() const {
  return m_connected ? wl_display_get_fd(m_display) : -1;
}

void CWaylandSelection::AppendPollFds(std::vector<pollfd> &fds) const {
  if (m_connected)
    fds.push_back({wl_display_get_fd(m_display),
                   static_cast<short>(POLLIN | (m_flushPending ? POLLOUT : 0)), 0});
  for (const Transfer &transfer : m_transfers)
    fds.push_back({transfer.fd, POLLOUT, 0});
}

void CWaylandSelection::Dispatch() {
  if (m_connected)
    ReadEvents();
  WriteTransfers();
  if (m_connected) {
    m_flushPending = false;
    if (wl_display_flush(m_display) < 0) {
      if (errno == EAGAIN)
        m_flushPending = true;
      else
        Fail();
    }
  }
  // Last, so that whatever the handlers start (a new offer) finds this round over.
  if (std::exchange(m_lostPending, false) && m_lost)
    m_lost();
  if (std::exchange(m_changedPending, false) && m_changed)
    m_changed();
}

void CWaylandSelection::ReadEvents() {
  // Events already queued are handled first; prepare_read fails until none is.
  while (wl_display_prepare_read(m_display) != 0)
    if (wl_display_dispatch_pending(m_display) < 0)
      return Fail();
  pollfd fd{wl_display_get_fd(m_display), POLLIN, 0};
  if (poll(&fd, 1, 0) > 0) {
    // Reads what the socket holds without waiting; a closed socket is an error here.
    if (wl_display_read_events(m_display) < 0)
      return Fail();
  } else {
    wl_display_cancel_read(m_display);
  }
  if (wl_display_dispatch_pending(m_display) < 0)
    Fail();
}

std::optional<CWaylandSelection::Clock::time_point> CWaylandSelection::NextDeadline() const {
  std::optional<Clock::time_point> next;
  for (const Transfer &transfer : m_transfers)
    if (!next || transfer.lastStep + StalledTransfer < *next)
      next = transfer.lastStep + StalledTransfer;
  return next;
}

bool CWaylandSelection::RunUntil(const std::function<bool()> &done, Clock::time_point deadline) {
  bool held = false;
  RunPollLoop(
      {this},
      [&] {
        held = done();
        return held || (!m_connected && m_transfers.empty());
      },
      deadline);
  return held;
}

bool CWaylandSelection::Roundtrip(Clock::time_point deadline) {
  wl_callback *callback = wl_display_sync(m_display);
  if (callback == nullptr)
    return false;
  bool done = false;
  static const wl_callback_listener listener = {
      [](void *data, wl_callback *, std::uint32_t) { *static_cast<bool *>(data) = true; }};
  wl_callback_add_listener(callback, &listener, &done);
  RunUntil([&] { return done || !m_connected; }, deadline);
  wl_callback_destroy(callback);
  return done;
}

// The connection failed, or the device did: nothing more can be done on it. The objects stay
// until the destructor; transfers under way go on, since they need only their descriptors.
void CWaylandSelection::Fail() {
  if (!m_connected)
    return;
  m_connected = false;
  m_status = WaylandStatus::Broken;
  if (m_source != nullptr)
    m_lostPending = true;
  if (!m_selectionTypes.empty())
    m_changedPending = true;
  m_selectionTypes.clear();
}

// The selection ---------------------------------------------------------------------------------

void CWaylandSelection::OnDataOffer(wl_proxy *offer) {
  if (offer == nullptr)
    return;
  m_api->listenToOffer(offer, this);
  m_newOffers.push_back({offer, {}});
}

void CWaylandSelection::OnOfferType(wl_proxy *offer, const char *mimeType) {
  for (PendingOffer &pending : m_newOffers)
    if (pending.proxy == offer)
      pending.types.emplace_back(mimeType);
}

void CWaylandSelection::OnSelection(wl_proxy *offer) {
  // Once our offer is known to be the selection, any later selection is another's, whether or
  // not the compositor cancels ours as well.
  if (m_source != nullptr && m_sourceSettled) {
    LoseSource();
    m_lostPending = true;
  }
  if (m_selectionOffer != nullptr && m_selectionOffer != offer)
    m_api->destroyOffer(m_selectionOffer);
  m_selectionOffer = offer;
  m_selectionTypes.clear();
  const auto found = std::find_if(m_newOffers.begin(), m_newOffers.end(),
                                  [offer](const PendingOffer &p) { return p.proxy == offer; });
  if (found != m_newOffers.end()) {
    m_selectionTypes = std::move(found->types);
    m_newOffers.erase(found);
  }
  // Offers introduced but never used would otherwise live as long as we do.
  DropOffers();
  m_changedPending = true;
}

void CWaylandSelection::OnPrimarySelection(wl_proxy *offer) {
  // Only the clipboard matters here: the primary selection's offers go at once.
  const auto found = std::find_if(m_newOffers.begin(), m_newOffers.end(),
                                  [offer](const PendingOffer &p) { return p.proxy == offer; });
  if (found != m_newOffers.end()) {
    m_api->destroyOffer(found->proxy);
    m_newOffers.erase(found);
  }
}

void CWaylandSelection::DropOffers() {
  for (const PendingOffer &pending : m_newOffers)
    m_api->destroyOffer(pending.proxy);
  m_newOffers.clear();
}

void CWaylandSelection::OnDeviceFinished() { Fail(); }

// Offering --------------------------------------------------------------------------------------

bool CWaylandSelection::Offer(std::vector<WaylandOffer> offers, Clock::time_point deadline) {
  if (!IsReady())
    return false;
  wl_proxy *source = m_api->createSource(m_manager, this);
  if (source == nullptr)
    return false;
  for (const WaylandOffer &offer : offers)
    m_api->offer(source, offer.mimeType.c_str());
  m_api->setSelection(m_device, source);
  // Ours replaces our earlier one; transfers under way keep their bytes.
  if (m_source != nullptr)
    m_api->destroySource(m_source);
  m_source = source;
  m_offers = std::move(offers);
  // The compositor answers the round trip after it has handled our request, so the selection
  // events before the answer are ours or older, and those after it another client's. A
  // cancellation sent at once (it refused ours) arrives within it too.
  m_sourceSettled = false;
  const bool answered = Roundtrip(deadline);
  m_sourceSettled = true;
  return answered && m_source == source && m_connected;
}

void CWaylandSelection::OnCancelled(wl_proxy *source) {
  if (source != m_source)
    return;
  LoseSource();
  m_lostPending = true;
}

void CWaylandSelection::Withdraw() {
  if (m_source == nullptr)
    return;
  LoseSource();
  if (m_connected && wl_display_flush(m_display) < 0 && errno == EAGAIN)
    m_flushPending = true;
}

void CWaylandSelection::LoseSource() {
  m_api->destroySource(m_source);
  m_source = nullptr;
  m_offers.clear();
}

void CWaylandSelection::OnSend(wl_proxy *source, const char *mimeType, int fd) {
  const auto offer = std::find_if(m_offers.begin(), m_offers.end(),
                                  [mimeType](const auto &o) { return o.mimeType == mimeType; });
  // The descriptor must not block us: a requestor that stops reading stalls only itself.
  if (source != m_source || offer == m_offers.end() || !offer->data || offer->size == 0 ||
      m_transfers.size() >= MaxTransfers || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
    close(fd);
    return;
  }
  m_transfers.push_back({fd, offer->data, offer->size, 0, Clock::now()});
}

void CWaylandSelection::WriteTransfers() {
  const Clock::time_point now = Clock::now();
  std::erase_if(m_transfers, [now](Transfer &transfer) {
    const std::size_t roundEnd = std::min(transfer.size, transfer.offset + RoundBytes);
    while (transfer.offset < transfer.size) {
      // The rest in a later round: the descriptor polls writable at once.
      if (transfer.offset >= roundEnd)
        return false;
      const ssize_t count =
          write(transfer.fd, transfer.data.get() + transfer.offset, roundEnd - transfer.offset);
      if (count > 0) {
        transfer.offset += static_cast<std::size_t>(count);
        transfer.lastStep = now;
        continue;
      }
      if (count < 0 && errno == EINTR)
        continue;
      // Full for now: more once it polls writable, unless it stalls. Any other error (EPIPE:
      // the reader has gone) ends the transfer.
      if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
          now < transfer.lastStep + StalledTransfer)
        return false;
      break;
    }
    close(transfer.fd);
    return true;
  });
}
