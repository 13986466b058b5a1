// The Wayland selection (the clipboard) through a data-control protocol, on the caller's thread.
//
// Data control lets a client with no window and no keyboard focus set the selection and see
// what is on it. Where the compositor has ext_data_control_manager_v1 that one is used, else
// zwlr_data_control_manager_v1 (wlroots compositors such as sway, and KWin). Where it has
// neither (mutter, weston), or there is no Wayland display at all, Status() says so and nothing
// else happens: the caller goes on with X11 alone.
//
// Nothing here blocks on another program. It is a poll source (posix/poll_loop.h): the caller
// polls what AppendPollFds() gives, calls Dispatch() when any of it is ready or NextDeadline()
// has passed, and Dispatch() handles every event the compositor sent and writes each requestor
// as much as its pipe takes. Only the compositor itself is waited for (its globals at the
// start, taking an offer), and then under a deadline.
//
// Each requestor gets the bytes on the descriptor it sent, written without blocking whenever
// the descriptor can take more, any number of requestors at once. A requestor that takes
// nothing for a while, or goes away, is dropped. The caller must ignore SIGPIPE.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clipboard/wayland/data_control.h"
#include "posix/poll_loop.h"

struct wl_display;
struct wl_registry;

// One MIME type offered and the bytes a requestor gets for it, wherever they live (a vector, a
// mapped file): `data` keeps them alive, and every transfer under way holds a copy of it, so
// they outlast the offer. No data: a requestor gets nothing (the descriptor is closed at once).
struct WaylandOffer {
  std::string mimeType;
  std::shared_ptr<const std::uint8_t> data;
  std::size_t size = 0;
};

enum class WaylandStatus {
  Ready,
  NoDisplay,     // no Wayland display is named, or the one named cannot be reached
  NoDataControl, // the compositor has no data-control protocol
  NoSeat,        // the compositor has no seat, so no selection
  Broken,        // the connection failed, or the seat went, after it was made
};

class CWaylandSelection : public CPollSource, private IDataControlSink {
public:
  // `display` as in WAYLAND_DISPLAY (a name in XDG_RUNTIME_DIR, or a path); null for
  // $WAYLAND_DISPLAY (or a socket handed over in $WAYLAND_SOCKET). With none, no default is
  // tried. Waits for the compositor's globals and the current selection until `deadline`.
  CWaylandSelection(const char *display, Clock::time_point deadline);
  ~CWaylandSelection() override;
  CWaylandSelection(const CWaylandSelection &) = delete;
  CWaylandSelection &operator=(const CWaylandSelection &) = delete;

  WaylandStatus Status() const { return m_status; }
  bool IsReady() const { return m_status == WaylandStatus::Ready; }
  // The data-control global in use ("ext_data_control_manager_v1" or
  // "zwlr_data_control_manager_v1"); empty unless it was bound.
  std::string ProtocolName() const;

  // The connection, while it works.
  int PollDescriptor() const override;
  // Appends what to poll: the connection (for input, and for output while requests wait to go
  // out) and every requestor still owed bytes (for output).
  void AppendPollFds(std::vector<pollfd> &fds) const override;
  // Handles every event that has come, writes what the requestors take, and drops the stalled.
  void Dispatch() override;
  // When Dispatch() must run next even with nothing ready; none when nothing waits.
  std::optional<Clock::time_point> NextDeadline() const override;
  // Dispatches until `done` holds, the deadline passes or the connection fails; `done` is
  // checked after every round. True when `done` held.
  bool RunUntil(const std::function<bool()> &done, Clock::time_point deadline);

  // The MIME types on the selection as the compositor last said, whoever offers them (ours,
  // too, once our offer is the selection); empty when the selection is empty.
  const std::vector<std::string> &SelectionTypes() const { return m_selectionTypes; }
  // Runs after each change of the selection, from Dispatch() (which Offer() and RunUntil() call
  // too).
  void SetSelectionHandler(std::function<void()> changed) { m_changed = std::move(changed); }

  // Makes `offers` the selection, in place of whatever is on it (an earlier offer of ours too),
  // and waits for the compositor until `deadline`. True when the offer is then the selection.
  bool Offer(std::vector<WaylandOffer> offers, Clock::time_point deadline);
  // True while our offer is the selection.
  bool Offering() const { return m_connected && m_source != nullptr; }
  // Takes our offer back: the selection is then empty, unless another client's has replaced
  // ours already, which stays. Transfers under way go on. The lost handler does not run.
  void Withdraw();
  // True while some requestor is still owed bytes (which outlive the offer).
  bool Transferring() const { return !m_transfers.empty(); }
  // Runs, as the handler above, when our offer stops being the selection: another client set
  // one, the seat went, or the connection failed.
  void SetLostHandler(std::function<void()> lost) { m_lost = std::move(lost); }

private:
  struct Transfer;
  struct PendingOffer {
    wl_proxy *proxy;
    std::vector<std::string> types;
  };

  // IDataControlSink.
  void OnDataOffer(wl_proxy *offer) override;
  void OnOfferType(wl_proxy *offer, const char *mimeType) override;
  void OnSelection(wl_proxy *offer) override;
  void OnPrimarySelection(wl_proxy *offer) override;
  void OnDeviceFinished() override;
  void OnSend(wl_proxy *source, const char *mimeType, int fd) override;
  void OnCancelled(wl_proxy *source) override;

  static void OnGlobal(void *data, wl_registry *registry, std::uint32_t name, const char *interface,
                       std::uint32_t version);
  static void OnGlobalRemove(void *data, wl_registry *registry, std::uint32_t name);

  void Connect(const char *display, Clock::time_point deadline);
  bool Roundtrip(Clock::time_point deadline);
  void ReadEvents();
  void WriteTransfers();
  void Fail();
  void LoseSource();
  void DropOffers();
  void Disconnect(WaylandStatus status);

  wl_display *m_display = nullptr;
  wl_registry *m_registry = nullptr;
  WaylandStatus m_status = WaylandStatus::NoDisplay;
  bool m_connected = false;    // events are read and requests sent
  bool m_flushPending = false; // the connection's buffer is full: wait until it takes more

  // Globals: the first seat and the data-control managers.
  struct Global {
    std::uint32_t name = 0;
    std::uint32_t version = 0;
  };
  Global m_seatGlobal, m_extGlobal, m_wlrGlobal;
  wl_proxy *m_seat = nullptr;
  const DataControlApi *m_api = nullptr;
  wl_proxy *m_manager = nullptr;
  wl_proxy *m_device = nullptr;

  // What the selection holds: offers introduced but not yet used, and the selection's own.
  std::vector<PendingOffer> m_newOffers;
  wl_proxy *m_selectionOffer = nullptr;
  std::vector<std::string> m_selectionTypes;

  // Our offer while it is the selection; settled once the compositor has set it.
  wl_proxy *m_source = nullptr;
  bool m_sourceSettled = false;
  std::vector<WaylandOffer> m_offers;
  std::vector<Transfer> m_transfers;

  std::function<void()> m_changed, m_lost;
  bool m_changedPending = false, m_lostPending = false;
};
