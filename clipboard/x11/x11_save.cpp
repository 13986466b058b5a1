// Asking the clipboard manager to take a copy of what we serve.
#include <iterator>

#include "clipboard/x11/x11_internal.h"

using x11::Reply;

bool CX11Selection::AskManagerToSave() {
  if (!IsOpen() || !Serving() || m_saveWindow != XCB_NONE)
    return false;
  const Reply<xcb_get_selection_owner_reply_t> manager(
      xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_atoms.manager), nullptr));
  if (!manager || manager->owner == XCB_NONE)
    return false;
  // A window of its own asks: once the manager has answered it goes, as a program's windows go
  // when it ends, which is when some managers take the clipboard over. The one that owns the
  // selection stays and serves meanwhile.
  m_saveWindow = xcb_generate_id(m_c);
  xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_saveWindow, m_root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  // The targets worth keeping; the manager asks us for them (and for TARGETS).
  const bool hasPng = !m_pServed->png || m_pServed->png->size > 0;
  const xcb_atom_t targets[] = {m_atoms.bmp, m_atoms.png};
  xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, m_saveWindow, m_atoms.saveProperty, m_atoms.atom,
                      32, hasPng ? 2 : 1, targets);
  // Our ownership's time: a manager that takes the clipboard with the time it was asked at
  // then gets it, unless someone else has copied since.
  xcb_convert_selection(m_c, m_saveWindow, m_atoms.manager, m_atoms.saveTargets,
                        m_atoms.saveProperty, m_pServed->time);
  xcb_flush(m_c);
  m_saveAnswer = X11SaveStatus::Asked;
  return true;
}

void CX11Selection::OnSaveNotify(const xcb_selection_notify_event_t &notify) {
  if (notify.selection != m_atoms.manager || notify.target != m_atoms.saveTargets)
    return;
  m_saveAnswer = notify.property == XCB_ATOM_NONE ? X11SaveStatus::Refused : X11SaveStatus::Saved;
  xcb_destroy_window(m_c, m_saveWindow);
  m_saveWindow = XCB_NONE;
  xcb_flush(m_c);
}
