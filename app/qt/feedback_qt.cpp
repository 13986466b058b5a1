#include "app/qt/feedback_qt.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QFileInfo>
#include <QMessageBox>
#include <utility>

QString ApplicationTitle() {
  return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

CQtFeedback::CQtFeedback(QWidget *owner, std::function<void()> beep)
    : m_pOwner(owner), m_beep(std::move(beep)) {}

void CQtFeedback::ShowMessage(const char *text) {
  QMessageBox box(QMessageBox::Warning, ApplicationTitle(), QString::fromUtf8(text),
                  QMessageBox::Ok, m_pOwner);
  // The wait cursor may be up (a failed conversion is reported before it ends); the box itself
  // must still show the ordinary arrow.
  box.setCursor(Qt::ArrowCursor);
  box.exec();
}

void CQtFeedback::Beep() {
  if (m_beep)
    m_beep();
}

void CQtFeedback::BeginWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void CQtFeedback::EndWaitCursor() { QApplication::restoreOverrideCursor(); }
