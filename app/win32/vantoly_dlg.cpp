#include "app/win32/vantoly_dlg.h"

#include <shellapi.h>

#include <new>
#include <string>

#include "app/core/conversion_mode.h"
#include "app/core/convert_command.h"
#include "app/core/texts.h"
#include "app/win32/about_dlg.h"
#include "app/win32/wide_text.h"
#include "app/win32/win32_feedback.h"
#include "clipboard/win32/clipboard_win32.h"
#include "res/resource.h"

namespace {

// The one main dialog of this thread, for the message filter.
CVantolyDlg *g_pMainDialog = nullptr;

} // namespace

CVantolyDlg::CVantolyDlg()
    : CDialog(IDD_MAIN),
      m_hIcon(static_cast<HICON>(LoadImageW(ResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                            IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), 0))),
      // The icon's own 16 x 16 picture, rather than the large one shrunk by the system.
      m_hSmallIcon(static_cast<HICON>(
          LoadImageW(ResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                     GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0))) {}

CVantolyDlg::~CVantolyDlg() {
  if (m_hMessageFilter != nullptr)
    UnhookWindowsHookEx(m_hMessageFilter);
  if (g_pMainDialog == this)
    g_pMainDialog = nullptr;
  if (m_hSmallIcon != nullptr)
    DestroyIcon(m_hSmallIcon);
  if (m_hIcon != nullptr)
    DestroyIcon(m_hIcon);
}

BOOL CVantolyDlg::OnInitDialog() {
  HWND list = GetDlgItem(m_hWnd, IDC_MODE);
  for (const ConversionModeEntry &mode : ConversionModes)
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(CWideText(mode.text).Get()));
  DoDataExchange(false);

  HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE);
  if (systemMenu != nullptr) {
    wchar_t about[256];
    if (LoadStringW(ResourceInstance(), IDS_ABOUTBOX, about, ARRAYSIZE(about)) > 0) {
      AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }

  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(m_hSmallIcon != nullptr ? m_hSmallIcon : m_hIcon));

  // Right and bottom edges on those of the work area: the corner above a bottom taskbar.
  RECT workArea{};
  RECT window{};
  if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0) && GetWindowRect(m_hWnd, &window))
    SetWindowPos(m_hWnd, nullptr, window.left + (workArea.right - window.right),
                 window.top + (workArea.bottom - window.bottom), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);

  g_pMainDialog = this;
  m_hMessageFilter =
      SetWindowsHookExW(WH_MSGFILTER, &CVantolyDlg::MessageFilter, nullptr, GetCurrentThreadId());

  m_nMode = 0;
  DoDataExchange(false);
  return TRUE;
}

INT_PTR CVantolyDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_SYSCOMMAND: return OnSysCommand(static_cast<UINT>(wParam), lParam);
  case WM_PAINT: return OnPaint();
  case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
  case WM_DESTROY:
    if (m_hMessageFilter != nullptr)
      UnhookWindowsHookEx(m_hMessageFilter);
    m_hMessageFilter = nullptr;
    break;
  case WM_COMMAND:
    if (LOWORD(wParam) == IDC_CONVERT && HIWORD(wParam) == BN_CLICKED) {
      OnConvert();
      return TRUE;
    }
    break;
  default: break;
  }
  return CDialog::OnMessage(message, wParam, lParam);
}

void CVantolyDlg::DoDataExchange(bool bSave) {
  HWND list = GetDlgItem(m_hWnd, IDC_MODE);
  if (bSave) {
    const LRESULT selection = SendMessageW(list, CB_GETCURSEL, 0, 0);
    m_nMode = selection == CB_ERR ? -1 : static_cast<int>(selection);
  } else {
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(m_nMode), 0);
  }
}

bool CVantolyDlg::OnSysCommand(UINT nID, LPARAM) {
  if ((nID & 0xFFF0) != IDM_ABOUTBOX)
    return false;
  CAboutDlg about;
  about.DoModal(m_hWnd);
  return true;
}

bool CVantolyDlg::OnPaint() {
  if (!IsIconic(m_hWnd))
    return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
  return true;
}

HCURSOR CVantolyDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CVantolyDlg::OnConvert() {
  DoDataExchange(true);
  CWin32Clipboard clipboard(m_hWnd);
  CWin32Feedback feedback(m_hWnd);
  RunConvertCommand(m_nMode, clipboard, feedback);
}

LRESULT CALLBACK CVantolyDlg::MessageFilter(int code, WPARAM wParam, LPARAM lParam) {
  const auto *msg = reinterpret_cast<const MSG *>(lParam);
  CVantolyDlg *dialog = g_pMainDialog;
  if (code == MSGF_DIALOGBOX && dialog != nullptr && msg->message == WM_KEYDOWN &&
      msg->wParam == VK_F1 && (msg->hwnd == dialog->m_hWnd || IsChild(dialog->m_hWnd, msg->hwnd))) {
    try {
      dialog->OnHelp();
    } catch (const std::bad_alloc &) {
      MessageBoxW(dialog->m_hWnd, CWideText(MessageOutOfMemory), ExecutableTitle(),
                  MB_ICONEXCLAMATION | MB_OK);
    }
    return TRUE;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void CVantolyDlg::OnHelp() {
  // The executable's path with its extension replaced. A compiled help file is what current
  // systems open; the old format is looked for too.
  const std::wstring executable = ExecutablePath();
  const std::size_t slash = executable.find_last_of(L"\\/");
  const std::size_t dot = executable.find_last_of(L'.');
  const std::wstring stem =
      dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)
          ? executable.substr(0, dot)
          : executable;
  for (const wchar_t *extension : {L".chm", L".hlp"}) {
    const std::wstring path = stem + extension;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ShellExecuteW(m_hWnd, nullptr, path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      return;
    }
  }
}
