// X11 chores for x11_test.sh that no packaged tool does:
//   vantoly_x11_helper own [SELECTION] takes CLIPBOARD (or SELECTION, e.g. CLIPBOARD_MANAGER
//                                      for a manager that never answers) and never answers a
//                                      request; prints "owned" once it owns it, then waits
//                                      (at most two minutes) until killed
//   vantoly_x11_helper targets N       owns CLIPBOARD and offers a TARGETS list of N atoms
//   vantoly_x11_helper endless         owns CLIPBOARD, offers image/bmp and sends it in INCR
//                                      pieces that never end, 1 MiB every 40 ms: slowly
//                                      enough that the reader's deadline comes first
//   vantoly_x11_helper manager         a clipboard manager: on SAVE_TARGETS it copies
//                                      image/bmp and image/png from the clipboard's owner,
//                                      takes the clipboard and serves the copies
//   vantoly_x11_helper empty-yes       a clipboard manager that answers SAVE_TARGETS with
//                                      success and keeps nothing; prints "asked" each time
//   vantoly_x11_helper multiple N      asks the clipboard's owner for image/bmp N times in
//                                      one MULTIPLE request, each into a property of its own;
//                                      prints "sent" once the request is with the owner, then
//                                      how many pairs were answered, and keeps the answers
//                                      (on the server) until killed (two minutes at most)
//   vantoly_x11_helper requests N      asks the clipboard's owner for TARGETS N times, one
//                                      request every 5 ms, then waits (3 s at most) for the
//                                      answers: prints "answered A refused R of N"
//   vantoly_x11_helper cover WINDOW    lays a pure red window over WINDOW for a moment and
//                                      takes it away again, so WINDOW must repaint that area
//   vantoly_x11_helper red WINDOW      prints how many of WINDOW's pixels are pure red
#include <xcb/xcb.h>

#include "clipboard/x11/x11_selection.h"

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

constexpr std::uint32_t Red = 0xff0000;

xcb_atom_t Intern(xcb_connection_t *c, const char *name) {
  const Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
}

void Notify(xcb_connection_t *c, const xcb_selection_request_event_t &request, bool answered) {
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = answered ? request.property : xcb_atom_t{XCB_ATOM_NONE};
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char *>(&notify));
  xcb_flush(c);
}

// Takes `selection` with a window of its own and hands every event to `handle` for two minutes
// at most, until the connection breaks, or until `handle` returns false.
template <typename Handle>
int Own(xcb_connection_t *c, const xcb_screen_t *screen, const char *selection, Handle handle) {
  const xcb_atom_t atom = Intern(c, selection);
  const xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_set_selection_owner(c, window, atom, XCB_CURRENT_TIME);
  const Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom), nullptr));
  if (!owner || owner->owner != window) {
    std::fputs("vantoly_x11_helper: could not take the selection\n", stderr);
    return 1;
  }
  std::puts("owned");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < end && xcb_connection_has_error(c) == 0) {
    while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
      const bool more = handle(event);
      std::free(event);
      if (!more)
        return 0;
    }
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    poll(&fd, 1, 1000);
  }
  return 0;
}

// Answers TARGETS with `count` atoms (the same few over and over) and nothing else.
int OfferTargets(xcb_connection_t *c, const xcb_screen_t *screen, std::size_t count) {
  const xcb_atom_t targets = Intern(c, "TARGETS");
  const xcb_atom_t some[] = {targets, XCB_ATOM_STRING, Intern(c, "TEXT"), Intern(c, "image/bmp")};
  std::vector<xcb_atom_t> list(count);
  for (std::size_t i = 0; i < count; ++i)
    list[i] = some[i % std::size(some)];
  return Own(c, screen, "CLIPBOARD", [&](const xcb_generic_event_t *event) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST)
      return true;
    const auto &request = *reinterpret_cast<const xcb_selection_request_event_t *>(event);
    const bool answer = request.target == targets;
    if (answer)
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                          XCB_ATOM_ATOM, 32, static_cast<std::uint32_t>(list.size()), list.data());
    Notify(c, request, answer);
    return true;
  });
}

// Offers image/bmp and sends it in INCR pieces of 1 MiB, as many as the requestor takes.
// Paced, so that what ends the read is its deadline, not the cap on its bytes.
int SendEndlessly(xcb_connection_t *c, const xcb_screen_t *screen) {
  const xcb_atom_t targets = Intern(c, "TARGETS"), bmp = Intern(c, "image/bmp"),
                   incr = Intern(c, "INCR");
  const std::vector<std::uint8_t> piece(std::size_t{1} << 20, 'B');
  xcb_window_t requestor = XCB_NONE;
  xcb_atom_t property = XCB_NONE;
  return Own(c, screen, "CLIPBOARD", [&](const xcb_generic_event_t *event) {
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_SELECTION_REQUEST) {
      const auto &request = *reinterpret_cast<const xcb_selection_request_event_t *>(event);
      if (request.target == targets) {
        const xcb_atom_t offered[] = {targets, bmp};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                            XCB_ATOM_ATOM, 32, 2, offered);
      } else if (request.target == bmp) {
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, request.requestor, XCB_CW_EVENT_MASK, &mask);
        const std::uint32_t size = 100u << 20;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property, incr, 32,
                            1, &size);
        requestor = request.requestor;
        property = request.property;
      }
      Notify(c, request, request.target == targets || request.target == bmp);
    } else if (type == XCB_PROPERTY_NOTIFY) {
      const auto &notify = *reinterpret_cast<const xcb_property_notify_event_t *>(event);
      if (notify.window == requestor && notify.atom == property &&
          notify.state == XCB_PROPERTY_DELETE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, bmp, 8,
                            static_cast<std::uint32_t>(piece.size()), piece.data());
        xcb_flush(c);
      }
    }
    return true;
  });
}

// A clipboard manager in the small: on SAVE_TARGETS it reads image/bmp and image/png from the
// owner, takes the clipboard with the copies, answers, and serves them until another program
// takes the clipboard (two minutes at most).
int Manage(xcb_connection_t *c, const xcb_screen_t *screen) {
  const xcb_atom_t saveTargets = Intern(c, "SAVE_TARGETS");
  CX11Selection selection(nullptr);
  bool saved = false;
  const int status = Own(c, screen, "CLIPBOARD_MANAGER", [&](const xcb_generic_event_t *event) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST)
      return true;
    const auto &request = *reinterpret_cast<const xcb_selection_request_event_t *>(event);
    if (request.target != saveTargets) {
      Notify(c, request, false);
      return true;
    }
    X11Bytes copies[2];
    const char *const types[] = {"image/bmp", "image/png"};
    for (int i = 0; i < 2; ++i) {
      selection.StartRead([&](const std::vector<std::string> &) { return std::string(types[i]); },
                          std::chrono::seconds(5), std::size_t{1} << 30, nullptr);
      selection.RunUntil([&selection] { return selection.ReadStatus() != X11ReadStatus::Running; },
                         CX11Selection::Clock::time_point::max());
      if (selection.ReadStatus() == X11ReadStatus::Done)
        copies[i].assign(selection.ReadData(), selection.ReadData() + selection.ReadSize());
    }
    saved = !copies[0].empty() && !copies[1].empty() &&
            selection.Serve(X11Value::Of(copies[0]), X11Value::Of(copies[1]),
                            CX11Selection::Clock::now() + std::chrono::seconds(2));
    Notify(c, request, saved);
    std::puts(saved ? "saved" : "not saved");
    std::fflush(stdout);
    return !saved; // then serve the copies
  });
  if (saved)
    selection.RunUntil([&selection] { return !selection.Serving(); },
                       CX11Selection::Clock::now() + std::chrono::minutes(2));
  return status;
}

// Says yes to SAVE_TARGETS at once and keeps nothing.
int SayEmptyYes(xcb_connection_t *c, const xcb_screen_t *screen) {
  const xcb_atom_t saveTargets = Intern(c, "SAVE_TARGETS");
  return Own(c, screen, "CLIPBOARD_MANAGER", [&](const xcb_generic_event_t *event) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST)
      return true;
    const auto &request = *reinterpret_cast<const xcb_selection_request_event_t *>(event);
    if (request.target == saveTargets) {
      std::puts("asked");
      std::fflush(stdout);
    }
    Notify(c, request, request.target == saveTargets);
    return true;
  });
}

// `count` requests for TARGETS, 5 ms apart, each into a property of its own.
int AskRepeatedly(xcb_connection_t *c, const xcb_screen_t *screen, std::size_t count) {
  const xcb_atom_t clipboard = Intern(c, "CLIPBOARD"), targets = Intern(c, "TARGETS");
  const xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  std::vector<xcb_atom_t> properties;
  for (std::size_t i = 0; i < count; ++i)
    properties.push_back(Intern(c, ("VANTOLY_ASK_" + std::to_string(i)).c_str()));
  std::size_t answered = 0, refused = 0;
  const auto take = [&](xcb_generic_event_t *event) {
    if ((event->response_type & 0x7f) == XCB_SELECTION_NOTIFY)
      ++(reinterpret_cast<const xcb_selection_notify_event_t *>(event)->property == XCB_ATOM_NONE
             ? refused
             : answered);
    std::free(event);
  };
  for (std::size_t i = 0; i < count; ++i) {
    xcb_convert_selection(c, window, clipboard, targets, properties[i], XCB_CURRENT_TIME);
    xcb_flush(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (xcb_generic_event_t *event = xcb_poll_for_event(c))
      take(event);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (answered + refused < count && std::chrono::steady_clock::now() < end) {
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    poll(&fd, 1, 100);
    while (xcb_generic_event_t *event = xcb_poll_for_event(c))
      take(event);
  }
  std::printf("answered %zu refused %zu of %zu\n", answered, refused, count);
  return 0;
}

// One MULTIPLE request for `count` copies of image/bmp.
int AskMultiple(xcb_connection_t *c, const xcb_screen_t *screen, std::size_t count) {
  const xcb_atom_t clipboard = Intern(c, "CLIPBOARD"), multiple = Intern(c, "MULTIPLE"),
                   bmp = Intern(c, "image/bmp"), pairsAtom = Intern(c, "VANTOLY_PAIRS");
  const xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  std::vector<xcb_atom_t> pairs;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = "VANTOLY_COPY_" + std::to_string(i);
    pairs.push_back(bmp);
    pairs.push_back(Intern(c, name.c_str()));
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, pairsAtom, Intern(c, "ATOM_PAIR"), 32,
                      static_cast<std::uint32_t>(pairs.size()), pairs.data());
  xcb_convert_selection(c, window, clipboard, multiple, pairsAtom, XCB_CURRENT_TIME);
  // Once the server has answered this, the request is in the owner's queue.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::puts("sent");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
    const bool notified = (event->response_type & 0x7f) == XCB_SELECTION_NOTIFY;
    std::free(event);
    if (notified)
      break;
  }
  const Reply<xcb_get_property_reply_t> answer(
      xcb_get_property_reply(c,
                             xcb_get_property(c, 0, window, pairsAtom, XCB_ATOM_ANY, 0,
                                              static_cast<std::uint32_t>(2 * count)),
                             nullptr));
  std::size_t answered = 0;
  if (answer && answer->format == 32) {
    const auto *got = static_cast<const xcb_atom_t *>(xcb_get_property_value(answer.get()));
    const auto length = static_cast<std::size_t>(xcb_get_property_value_length(answer.get())) / 4;
    for (std::size_t i = 1; i < length; i += 2)
      answered += got[i] != XCB_ATOM_NONE;
  }
  std::printf("answered %zu of %zu\n", answered, count);
  std::fflush(stdout);
  while (std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::seconds(1));
  return 0;
}

int Cover(xcb_connection_t *c, const xcb_screen_t *screen, xcb_window_t target) {
  const Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, target), nullptr));
  const Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, target, screen->root, 0, 0), nullptr));
  if (!geometry || !origin)
    return 1;
  const xcb_window_t cover = xcb_generate_id(c);
  const std::uint32_t values[] = {Red, 1}; // background pixel, override-redirect
  xcb_create_window(c, XCB_COPY_FROM_PARENT, cover, screen->root, origin->dst_x, origin->dst_y,
                    geometry->width, geometry->height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, cover);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  xcb_destroy_window(c, cover);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  return 0;
}

int CountRed(xcb_connection_t *c, const xcb_screen_t *screen, xcb_window_t target) {
  const Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, target), nullptr));
  if (!geometry || screen->root_depth != 24)
    return 1;
  const Reply<xcb_get_image_reply_t> image(
      xcb_get_image_reply(c,
                          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, target, 0, 0, geometry->width,
                                        geometry->height, ~0u),
                          nullptr));
  if (!image)
    return 1;
  // 24-bit TrueColor comes as 32 bits per pixel.
  const std::uint8_t *data = xcb_get_image_data(image.get());
  const int length = xcb_get_image_data_length(image.get());
  long red = 0;
  for (int i = 0; i + 4 <= length; i += 4) {
    std::uint32_t pixel;
    std::memcpy(&pixel, data + i, 4);
    red += (pixel & 0xffffff) == Red;
  }
  std::printf("%ld\n", red);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs("usage: vantoly_x11_helper own [SELECTION] | targets N | endless | manager |\n"
               "                          empty-yes | requests N | multiple N | cover WINDOW |\n"
               "                          red WINDOW\n",
               stderr);
    return 2;
  }
  int screenNumber = 0;
  xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c) != 0)
    return 1;
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber; ++i)
    xcb_screen_next(&screens);
  const xcb_screen_t *screen = screens.data;
  const xcb_window_t window =
      argc > 2 ? static_cast<xcb_window_t>(std::strtoul(argv[2], nullptr, 0)) : XCB_NONE;
  int status = 2;
  if (std::strcmp(argv[1], "own") == 0)
    status = Own(c, screen, argc > 2 ? argv[2] : "CLIPBOARD",
                 [](const xcb_generic_event_t *) { return true; }); // nothing ever answered
  else if (std::strcmp(argv[1], "targets") == 0 && argc > 2)
    status = OfferTargets(c, screen, std::strtoul(argv[2], nullptr, 10));
  else if (std::strcmp(argv[1], "endless") == 0)
    status = SendEndlessly(c, screen);
  else if (std::strcmp(argv[1], "manager") == 0)
    status = Manage(c, screen);
  else if (std::strcmp(argv[1], "empty-yes") == 0)
    status = SayEmptyYes(c, screen);
  else if (std::strcmp(argv[1], "requests") == 0 && argc > 2)
    status = AskRepeatedly(c, screen, std::strtoul(argv[2], nullptr, 10));
  else if (std::strcmp(argv[1], "multiple") == 0 && argc > 2)
    status = AskMultiple(c, screen, std::strtoul(argv[2], nullptr, 10));
  else if (std::strcmp(argv[1], "cover") == 0 && window != XCB_NONE)
    status = Cover(c, screen, window);
  else if (std::strcmp(argv[1], "red") == 0 && window != XCB_NONE)
    status = CountRed(c, screen, window);
  xcb_disconnect(c);
  return status;
}
