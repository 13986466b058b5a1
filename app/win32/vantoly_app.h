// The application: one running copy at a time, the main dialog run modally, nothing else.
#pragma once

#include <windows.h>

class CVantolyApp {
public:
  // InitInstance, then ExitInstance: the program's whole life. Returns the exit code.
  int Run();

  // False in every case: the program ends when the dialog does, and at once when another
  // copy is running.
  bool InitInstance();
  int ExitInstance();

private:
  HANDLE m_hInstanceMutex = nullptr;
};
