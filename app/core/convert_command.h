// The Convert command: the system's one request, shared by every front end.
#pragma once

#include "clipboard/clipboard.h"

// How a front end gives feedback: a modal message box, the beep, the wait cursor.
class CConvertFeedback {
public:
  virtual ~CConvertFeedback() = default;
  virtual void ShowMessage(const char *text) = 0; // UTF-8; returns when dismissed
  virtual void Beep() = 0;
  virtual void BeginWaitCursor() = 0;
  virtual void EndWaitCursor() = 0;
};

enum class ConvertOutcome {
  Converted,
  NoModeSelected,
  NoClipboardBitmap,
  ConversionFailed,
  CannotPaste,
  OutOfMemory,
};

// The message shown for an outcome; null for Converted.
const char *OutcomeMessage(ConvertOutcome outcome);

// Converts the clipboard's bitmap with mode `nMode` (the list's selection, -1 for none) and
// puts the result back in its place, then beeps or shows the outcome's message. The clipboard
// keeps its bitmap on every failure.
ConvertOutcome RunConvertCommand(int nMode, CClipboard &clipboard, CConvertFeedback &feedback);
