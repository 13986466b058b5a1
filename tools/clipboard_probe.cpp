// Times the dialog from a key press to its owning the clipboard, for tools/bench-dialog.sh.
// Usage: vantoly-clipboard-probe [TIMEOUT_SECONDS]
//
// Watches the CLIPBOARD selection through XFixes, presses and releases Return through XTest
// (the window with the keyboard focus gets it), and prints the seconds from the press to the
// first change of the selection's owner, e.g. "0.312". Exit 1 when the owner does not change
// within the timeout (default 30 s) or the display cannot be used.
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t Intern(xcb_connection_t *c, const char *name) {
  const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The keycode that gives Return, or 0.
xcb_keycode_t ReturnKeycode(xcb_connection_t *c) {
  const xcb_setup_t *setup = xcb_get_setup(c);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  const Reply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
      c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<std::uint8_t>(count)),
      nullptr));
  if (!map)
    return 0;
  const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(map.get());
  const int perCode = map->keysyms_per_keycode;
  for (int i = 0; i < count * perCode; ++i)
    if (syms[i] == 0xff0d) // XK_Return
      return static_cast<xcb_keycode_t>(setup->min_keycode + i / perCode);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const double timeout = argc > 1 ? std::atof(argv[1]) : 30.0;
  xcb_connection_t *c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) != 0) {
    std::fputs("vantoly-clipboard-probe: cannot open the display\n", stderr);
    return 1;
  }
  const Reply<xcb_xfixes_query_version_reply_t> version(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  const xcb_keycode_t returnKey = ReturnKeycode(c);
  if (!version || returnKey == 0) {
    std::fputs("vantoly-clipboard-probe: no XFixes, or no Return key\n", stderr);
    return 1;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const xcb_atom_t clipboard = Intern(c, "CLIPBOARD");
  xcb_xfixes_select_selection_input(c, root, clipboard,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
  const std::uint8_t fixesEvent = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
  // A round trip, so that the server watches the selection before the key goes out.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

  const auto start = std::chrono::steady_clock::now();
  xcb_test_fake_input(c, XCB_KEY_PRESS, returnKey, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_test_fake_input(c, XCB_KEY_RELEASE, returnKey, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(c);
  const auto deadline = start + std::chrono::duration<double>(timeout);
  for (;;) {
    while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
      const bool changed =
          (event->response_type & 0x7f) == fixesEvent + XCB_XFIXES_SELECTION_NOTIFY;
      std::free(event);
      if (changed) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%.3f\n", elapsed.count());
        xcb_disconnect(c);
        return 0;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || xcb_connection_has_error(c) != 0)
      break;
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left.count()));
  }
  std::fputs("vantoly-clipboard-probe: the clipboard's owner did not change\n", stderr);
  xcb_disconnect(c);
  return 1;
}
