// vantoly.exe: takes no arguments and keeps no state; everything happens in the dialog.
#include <windows.h>

#include "app/win32/vantoly_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  CVantolyApp app;
  return app.Run();
}
