// A modal dialog built from a template: the little that the program's two dialogs need of a
// dialog class (message dispatch to members, modal run, end).
#pragma once

#include <windows.h>

class CDialog {
public:
  explicit CDialog(UINT nIDTemplate) : m_nIDTemplate(nIDTemplate) {}
  virtual ~CDialog() = default;
  CDialog(const CDialog &) = delete;
  CDialog &operator=(const CDialog &) = delete;

  // Runs the dialog until it ends; its end code, or -1 when it could not be created.
  INT_PTR DoModal(HWND hParent);
  HWND GetSafeHwnd() const { return m_hWnd; }

protected:
  // True puts the focus on the first tab stop.
  virtual BOOL OnInitDialog() { return TRUE; }
  // A dialog procedure's answer: TRUE when handled (with the result in DWLP_MSGRESULT where the
  // message has one), FALSE for the default processing. OK and Cancel end the dialog.
  virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

  HWND m_hWnd = nullptr;

private:
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_nIDTemplate;
};

// The module the resources come from.
HINSTANCE ResourceInstance();
