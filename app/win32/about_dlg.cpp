#include "app/win32/about_dlg.h"

#include <shellapi.h>

#include "app/core/texts.h"
#include "app/win32/wide_text.h"
#include "res/resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

INT_PTR CAboutDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_HOMEPAGE && HIWORD(wParam) == BN_CLICKED) {
    OnHomePage();
    return TRUE;
  }
  return CDialog::OnMessage(message, wParam, lParam);
}

void CAboutDlg::OnHomePage() {
  ShellExecuteW(nullptr, nullptr, CWideText(HomePageUrl), nullptr, nullptr, SW_SHOWNORMAL);
}
