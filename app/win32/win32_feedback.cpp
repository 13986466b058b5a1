#include "app/win32/win32_feedback.h"

#include "app/win32/wide_text.h"

CWin32Feedback::~CWin32Feedback() {
  // Never leave the hourglass behind, whatever path ended the command.
  if (m_nWaitCount > 0) {
    m_nWaitCount = 1;
    EndWaitCursor();
  }
}

void CWin32Feedback::ShowMessage(const char *text) {
  MessageBoxW(m_hOwner, CWideText(text), ExecutableTitle(), MB_ICONEXCLAMATION | MB_OK);
}

void CWin32Feedback::Beep() { MessageBeep(MB_OK); }

void CWin32Feedback::BeginWaitCursor() {
  if (m_nWaitCount++ == 0)
    m_hRestoreCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

void CWin32Feedback::EndWaitCursor() {
  if (m_nWaitCount == 0)
    return;
  if (--m_nWaitCount == 0)
    SetCursor(m_hRestoreCursor != nullptr ? m_hRestoreCursor : LoadCursorW(nullptr, IDC_ARROW));
}
