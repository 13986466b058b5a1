#include "app/win32/wide_text.h"

#include <cwchar>

namespace {

// Long paths included; static, since it is asked for while the heap may be exhausted.
wchar_t g_szExecutablePath[32768];
wchar_t g_szExecutableTitle[32768];

} // namespace

const wchar_t *ExecutablePath() {
  if (g_szExecutablePath[0] == L'\0') {
    const DWORD length =
        GetModuleFileNameW(nullptr, g_szExecutablePath, ARRAYSIZE(g_szExecutablePath));
    if (length == 0 || length >= ARRAYSIZE(g_szExecutablePath))
      g_szExecutablePath[0] = L'\0';
  }
  return g_szExecutablePath;
}

const wchar_t *ExecutableTitle() {
  if (g_szExecutableTitle[0] == L'\0') {
    const wchar_t *path = ExecutablePath();
    const wchar_t *name = path;
    for (const wchar_t *p = path; *p != L'\0'; ++p)
      if (*p == L'\\' || *p == L'/' || *p == L':')
        name = p + 1;
    // Both buffers have the same size, and the name is a tail of the path.
    std::wmemcpy(g_szExecutableTitle, name, std::wcslen(name) + 1);
    wchar_t *dot = std::wcsrchr(g_szExecutableTitle, L'.');
    if (dot != nullptr && dot != g_szExecutableTitle)
      *dot = L'\0';
  }
  return g_szExecutableTitle;
}
