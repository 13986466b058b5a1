// Stands in for the browser in the Windows program's tests: appends the address it is asked
// to open, as one line, to the file named first on its command line.
//
//   vantoly_url_recorder LOG URL
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 3)
    return 2;
  char url[4096];
  if (WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, url, sizeof url, nullptr, nullptr) == 0)
    return 1;
  FILE *log = _wfopen(argv[1], L"ab");
  if (log == nullptr)
    return 1;
  std::fprintf(log, "%s\n", url);
  std::fclose(log);
  LocalFree(argv);
  return 0;
}
