// The main dialog: the mode list, Convert and Exit, in the bottom-right corner of the desktop.
#pragma once

#include "app/win32/dialog.h"

class CVantolyDlg : public CDialog {
public:
  CVantolyDlg();
  ~CVantolyDlg() override;

protected:
  BOOL OnInitDialog() override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
  // Copies the list's selection into m_nMode (bSave) or the other way round.
  void DoDataExchange(bool bSave);
  // The About item opens the version box; every other command gets the default processing.
  bool OnSysCommand(UINT nID, LPARAM lParam);
  // Draws the icon when minimised; false leaves the paint to the default processing.
  bool OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnConvert();
  // F1: the help file named after the executable, if there is one.
  void OnHelp();
  // The dialog manager offers every message of its loop to this filter first; F1 is taken
  // there, as the keyboard delivers it to whichever control has the focus.
  static LRESULT CALLBACK MessageFilter(int code, WPARAM wParam, LPARAM lParam);

  int m_nMode = -1; // the selected conversion mode, -1 for none
  HICON m_hIcon;
  HICON m_hSmallIcon;
  HHOOK m_hMessageFilter = nullptr;
};
