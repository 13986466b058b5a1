#include "clipboard/wayland/data_control.h"

#include <wayland-client.h>

#include "ext-data-control-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"

namespace {

// The protocols' objects are proxies under other names.
template <typename T> T *As(wl_proxy *proxy) { return reinterpret_cast<T *>(proxy); }
template <typename T> wl_proxy *Proxy(T *object) { return reinterpret_cast<wl_proxy *>(object); }
IDataControlSink *Sink(void *data) { return static_cast<IDataControlSink *>(data); }
void *Data(IDataControlSink *sink) { return static_cast<void *>(sink); }

// One protocol's listeners, each handing its event on to the sink.
template <typename Device, typename Source, typename Offer> struct Forward {
  static void DataOffer(void *data, Device *, Offer *offer) {
    Sink(data)->OnDataOffer(Proxy(offer));
  }
  static void Selection(void *data, Device *, Offer *offer) {
    Sink(data)->OnSelection(Proxy(offer));
  }
  static void Finished(void *data, Device *) { Sink(data)->OnDeviceFinished(); }
  static void Primary(void *data, Device *, Offer *offer) {
    Sink(data)->OnPrimarySelection(Proxy(offer));
  }
  static void Send(void *data, Source *source, const char *mimeType, std::int32_t fd) {
    Sink(data)->OnSend(Proxy(source), mimeType, fd);
  }
  static void Cancelled(void *data, Source *source) { Sink(data)->OnCancelled(Proxy(source)); }
  static void Type(void *data, Offer *offer, const char *mimeType) {
    Sink(data)->OnOfferType(Proxy(offer), mimeType);
  }
};

using ExtForward =
    Forward<ext_data_control_device_v1, ext_data_control_source_v1, ext_data_control_offer_v1>;
const ext_data_control_device_v1_listener ExtDevice = {ExtForward::DataOffer, ExtForward::Selection,
                                                       ExtForward::Finished, ExtForward::Primary};
const ext_data_control_source_v1_listener ExtSource = {ExtForward::Send, ExtForward::Cancelled};
const ext_data_control_offer_v1_listener ExtOffer = {ExtForward::Type};

using WlrForward =
    Forward<zwlr_data_control_device_v1, zwlr_data_control_source_v1, zwlr_data_control_offer_v1>;
const zwlr_data_control_device_v1_listener WlrDevice = {
    WlrForward::DataOffer, WlrForward::Selection, WlrForward::Finished, WlrForward::Primary};
const zwlr_data_control_source_v1_listener WlrSource = {WlrForward::Send, WlrForward::Cancelled};
const zwlr_data_control_offer_v1_listener WlrOffer = {WlrForward::Type};

} // namespace

const DataControlApi ExtDataControl = {
    "ext_data_control_manager_v1",
    &ext_data_control_manager_v1_interface,
    1,
    [](wl_proxy *manager, IDataControlSink *sink) {
      auto *source =
          ext_data_control_manager_v1_create_data_source(As<ext_data_control_manager_v1>(manager));
      if (source != nullptr)
        ext_data_control_source_v1_add_listener(source, &ExtSource, Data(sink));
      return Proxy(source);
    },
    [](wl_proxy *manager, wl_seat *seat, IDataControlSink *sink) {
      auto *device = ext_data_control_manager_v1_get_data_device(
          As<ext_data_control_manager_v1>(manager), seat);
      if (device != nullptr)
        ext_data_control_device_v1_add_listener(device, &ExtDevice, Data(sink));
      return Proxy(device);
    },
    [](wl_proxy *offer, IDataControlSink *sink) {
      ext_data_control_offer_v1_add_listener(As<ext_data_control_offer_v1>(offer), &ExtOffer,
                                             Data(sink));
    },
    [](wl_proxy *source, const char *mimeType) {
      ext_data_control_source_v1_offer(As<ext_data_control_source_v1>(source), mimeType);
    },
    [](wl_proxy *device, wl_proxy *source) {
      ext_data_control_device_v1_set_selection(As<ext_data_control_device_v1>(device),
                                               As<ext_data_control_source_v1>(source));
    },
    [](wl_proxy *p) { ext_data_control_manager_v1_destroy(As<ext_data_control_manager_v1>(p)); },
    [](wl_proxy *p) { ext_data_control_device_v1_destroy(As<ext_data_control_device_v1>(p)); },
    [](wl_proxy *p) { ext_data_control_source_v1_destroy(As<ext_data_control_source_v1>(p)); },
    [](wl_proxy *p) { ext_data_control_offer_v1_destroy(As<ext_data_control_offer_v1>(p)); },
};

// Version 1: version 2 adds only the primary selection, which we leave alone.
const DataControlApi WlrDataControl = {
    "zwlr_data_control_manager_v1",
    &zwlr_data_control_manager_v1_interface,
    1,
    [](wl_proxy *manager, IDataControlSink *sink) {
      auto *source = zwlr_data_control_manager_v1_create_data_source(
          As<zwlr_data_control_manager_v1>(manager));
      if (source != nullptr)
        zwlr_data_control_source_v1_add_listener(source, &WlrSource, Data(sink));
      return Proxy(source);
    },
    [](wl_proxy *manager, wl_seat *seat, IDataControlSink *sink) {
      auto *device = zwlr_data_control_manager_v1_get_data_device(
          As<zwlr_data_control_manager_v1>(manager), seat);
      if (device != nullptr)
        zwlr_data_control_device_v1_add_listener(device, &WlrDevice, Data(sink));
      return Proxy(device);
    },
    [](wl_proxy *offer, IDataControlSink *sink) {
      zwlr_data_control_offer_v1_add_listener(As<zwlr_data_control_offer_v1>(offer), &WlrOffer,
                                              Data(sink));
    },
    [](wl_proxy *source, const char *mimeType) {
      zwlr_data_control_source_v1_offer(As<zwlr_data_control_source_v1>(source), mimeType);
    },
    [](wl_proxy *device, wl_proxy *source) {
      zwlr_data_control_device_v1_set_selection(As<zwlr_data_control_device_v1>(device),
                                                As<zwlr_data_control_source_v1>(source));
    },
    [](wl_proxy *p) { zwlr_data_control_manager_v1_destroy(As<zwlr_data_control_manager_v1>(p)); },
    [](wl_proxy *p) { zwlr_data_control_device_v1_destroy(As<zwlr_data_control_device_v1>(p)); },
    [](wl_proxy *p) { zwlr_data_control_source_v1_destroy(As<zwlr_data_control_source_v1>(p)); },
    [](wl_proxy *p) { zwlr_data_control_offer_v1_destroy(As<zwlr_data_control_offer_v1>(p)); },
};
