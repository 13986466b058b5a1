// The Convert command's feedback on Windows: a message box owned by the dialog, the default
// beep, and the wait cursor.
#pragma once

#include <windows.h>

#include "app/core/convert_command.h"

class CWin32Feedback : public CConvertFeedback {
public:
  explicit CWin32Feedback(HWND hOwner) : m_hOwner(hOwner) {}
  ~CWin32Feedback() override;

  // Exclamation icon and OK, captioned with the executable's name; returns when dismissed.
  void ShowMessage(const char *text) override;
  void Beep() override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;

private:
  HWND m_hOwner;
  int m_nWaitCount = 0;
  HCURSOR m_hRestoreCursor = nullptr;
};
