// The two data-control protocols behind one table of plain proxies.
//
// ext_data_control_manager_v1 and zwlr_data_control_manager_v1 have the same requests and
// events, argument for argument; only their names differ. The client above them
// (wayland_selection.cpp) is therefore written once, against this table, and the protocol is
// chosen at bind time. The protocols' generated headers stay inside data_control.cpp.
#pragma once

#include <cstdint>

struct wl_interface;
struct wl_proxy;
struct wl_seat;

// What the events bring. The listeners pass the sink given when the object was made.
class IDataControlSink {
public:
  // A new offer from the compositor; its MIME types follow, then the event that uses it.
  virtual void OnDataOffer(wl_proxy *offer) = 0;
  virtual void OnOfferType(wl_proxy *offer, const char *mimeType) = 0;
  // The selection is now `offer` (null: nothing is on it).
  virtual void OnSelection(wl_proxy *offer) = 0;
  virtual void OnPrimarySelection(wl_proxy *offer) = 0;
  // The device is no longer usable (its seat has gone).
  virtual void OnDeviceFinished() = 0;
  // A requestor wants `source`'s data as `mimeType` written to `fd`, which is now ours to close.
  virtual void OnSend(wl_proxy *source, const char *mimeType, int fd) = 0;
  // `source` is no longer the selection.
  virtual void OnCancelled(wl_proxy *source) = 0;

protected:
  ~IDataControlSink() = default;
};

struct DataControlApi {
  const char *name; // the manager's global
  const wl_interface *manager;
  std::uint32_t version; // the manager's version we bind
  // Each of these returns null when no object could be made, and gives the new object's events
  // to `sink`.
  wl_proxy *(*createSource)(wl_proxy *manager, IDataControlSink *sink);
  wl_proxy *(*getDevice)(wl_proxy *manager, wl_seat *seat, IDataControlSink *sink);
  void (*listenToOffer)(wl_proxy *offer, IDataControlSink *sink);
  void (*offer)(wl_proxy *source, const char *mimeType);
  void (*setSelection)(wl_proxy *device, wl_proxy *source);
  void (*destroyManager)(wl_proxy *manager);
  void (*destroyDevice)(wl_proxy *device);
  void (*destroySource)(wl_proxy *source);
  void (*destroyOffer)(wl_proxy *offer);
};

extern const DataControlApi ExtDataControl;
extern const DataControlApi WlrDataControl;
