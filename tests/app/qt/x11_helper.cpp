// X11 chores for x11_test.sh that no packaged tool does:
//   vantoly_x11_helper own             takes the CLIPBOARD selection and never answers a
//                                      request; prints "owned" once it owns it, then waits
//                                      (at most two minutes) until killed
//   vantoly_x11_helper cover WINDOW    lays a pure red window over WINDOW for a moment and
//                                      takes it away again, so WINDOW must repaint that area
//   vantoly_x11_helper red WINDOW      prints how many of WINDOW's pixels are pure red
#include <xcb/xcb.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

constexpr std::uint32_t Red = 0xff0000;

int Own(xcb_connection_t *c, const xcb_screen_t *screen) {
  const char name[] = "CLIPBOARD";
  const Reply<xcb_intern_atom_reply_t> atom(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr));
  const xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_set_selection_owner(c, window, atom->atom, XCB_CURRENT_TIME);
  const Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
  if (!owner || owner->owner != window) {
    std::fputs("vantoly_x11_helper: could not take the clipboard\n", stderr);
    return 1;
  }
  std::puts("owned");
  std::fflush(stdout);
  // Every request is read and dropped: the requestor never hears back.
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < end && xcb_connection_has_error(c) == 0) {
    while (xcb_generic_event_t *event = xcb_poll_for_event(c))
      std::free(event);
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    poll(&fd, 1, 1000);
  }
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
    std::fputs("usage: vantoly_x11_helper own | cover WINDOW | red WINDOW\n", stderr);
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
    status = Own(c, screen);
  else if (std::strcmp(argv[1], "cover") == 0 && window != XCB_NONE)
    status = Cover(c, screen, window);
  else if (std::strcmp(argv[1], "red") == 0 && window != XCB_NONE)
    status = CountRed(c, screen, window);
  xcb_disconnect(c);
  return status;
}
