// The Convert command's feedback on the Linux desktop: a warning box owned by the dialog, the
// desktop's event sound, the wait cursor.
#pragma once

#include <QString>
#include <functional>

#include "app/core/convert_command.h"

class QWidget;

// The caption of the program's message boxes: the executable's name without its extension.
QString ApplicationTitle();

// Plays the desktop's "complete" event sound, or rings the window system's bell where no sound
// can be played.
void PlayCompleteSound();

class CQtFeedback : public CConvertFeedback {
public:
  explicit CQtFeedback(QWidget *owner, std::function<void()> beep = PlayCompleteSound);

  // A modal warning box with OK; returns when the user has dismissed it.
  void ShowMessage(const char *text) override;
  void Beep() override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;

private:
  QWidget *m_pOwner;
  std::function<void()> m_beep;
};
