// The version box, opened from the About item of the main dialog's system menu.
#pragma once

#include "app/win32/dialog.h"

class CAboutDlg : public CDialog {
public:
  CAboutDlg();

protected:
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
  // Opens the home page in the user's browser; the box stays open, and a failure is not
  // reported.
  void OnHomePage();
};
