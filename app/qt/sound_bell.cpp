// The success sound where libcanberra is not available: the window system's bell.
#include <QApplication>

#include "app/qt/feedback_qt.h"

void PlayCompleteSound() { QApplication::beep(); }
