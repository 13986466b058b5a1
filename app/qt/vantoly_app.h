// The program: one copy per user session, showing the main dialog until it is closed.
#pragma once

#include <QString>

#include "app/qt/instance_guard.h"

class CVantolyApp {
public:
  // The process's exit code. A second copy ends at once with 0 and without a word: the lock is
  // tested before Qt starts, so not even Qt's own warnings reach the terminal.
  int Run(int &argc, char **argv);

  // False when another copy is running.
  bool InitInstance();
  int ExitInstance();

  // vantoly-keeper: beside the program in the build folder, in ../lib/vantoly once installed;
  // empty when missing.
  static QString KeeperPath();

private:
  // Runs the dialog, then leaves the result on the clipboard to outlive the program.
  int RunDialog(int &argc, char **argv);

  CInstanceGuard m_instanceGuard;
};
