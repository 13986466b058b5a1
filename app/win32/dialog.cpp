#include "app/win32/dialog.h"

#include <new>

#include "app/core/texts.h"
#include "app/win32/wide_text.h"

HINSTANCE ResourceInstance() { return GetModuleHandleW(nullptr); }

INT_PTR CDialog::DoModal(HWND hParent) {
  return DialogBoxParamW(ResourceInstance(), MAKEINTRESOURCEW(m_nIDTemplate), hParent,
                         &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog *dialog = nullptr;
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<CDialog *>(lParam);
    dialog->m_hWnd = hWnd;
    SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
  } else {
    dialog = reinterpret_cast<CDialog *>(GetWindowLongPtrW(hWnd, DWLP_USER));
  }
  if (dialog == nullptr)
    return FALSE;
  // No exception may unwind through the system's window code. The only one our code raises is
  // memory exhaustion; the Convert command reports its own, this catches the rest.
  try {
    if (message == WM_INITDIALOG)
      return dialog->OnInitDialog();
    return dialog->OnMessage(message, wParam, lParam);
  } catch (const std::bad_alloc &) {
    MessageBoxW(hWnd, CWideText(MessageOutOfMemory), ExecutableTitle(), MB_ICONEXCLAMATION | MB_OK);
    return FALSE;
  }
}
