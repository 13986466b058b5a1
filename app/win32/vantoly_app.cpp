#include "app/win32/vantoly_app.h"

#include <commctrl.h>

#include "app/win32/vantoly_dlg.h"

namespace {

// Marks a running copy. It is never waited on.
constexpr const wchar_t *InstanceMutexName = L"VantolyInstance";

} // namespace

int CVantolyApp::Run() {
  // InitInstance's answer does not matter: either way the program ends after it, and exit
  // processing runs in a second copy too.
  InitInstance();
  return ExitInstance();
}

bool CVantolyApp::InitInstance() {
  HANDLE existing = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, InstanceMutexName);
  if (existing != nullptr) {
    CloseHandle(existing);
    return false;
  }
  m_hInstanceMutex = CreateMutexW(nullptr, FALSE, InstanceMutexName);
  // Two copies started at the same moment can both miss the other's mutex above; the one whose
  // CreateMutex finds it already made gives way.
  if (m_hInstanceMutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(m_hInstanceMutex);
    m_hInstanceMutex = nullptr;
    return false;
  }

  // Registers the control classes of the visual styles the manifest asks for.
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  CVantolyDlg dialog;
  dialog.DoModal(nullptr);
  return false;
}

int CVantolyApp::ExitInstance() {
  if (m_hInstanceMutex != nullptr) {
    ReleaseMutex(m_hInstanceMutex);
    CloseHandle(m_hInstanceMutex);
    m_hInstanceMutex = nullptr;
  }
  return 0;
}
