#include "app/qt/vantoly_app.h"

#include <QApplication>
#include <QFileInfo>

#include "app/qt/dialog_units.h"
#include "app/qt/vantoly_dlg.h"
#include "clipboard/qt/clipboard_qt.h"

namespace {
constexpr const char *InstanceName = "VantolyInstance";
} // namespace

int CVantolyApp::Run(int &argc, char **argv) {
  if (!InitInstance())
    return 0;
  RunDialog(argc, argv);
  return ExitInstance();
}

bool CVantolyApp::InitInstance() {
  return m_instanceGuard.Acquire(InstanceName) != CInstanceGuard::Result::AlreadyRunning;
}

int CVantolyApp::ExitInstance() {
  m_instanceGuard.Release();
  return 0;
}

int CVantolyApp::RunDialog(int &argc, char **argv) {
  // A native Wayland window cannot choose its place on the screen, and the dialog's place is
  // the bottom-right corner. Where X11 is at hand too (XWayland), take it, unless the user
  // chose a platform; the clipboard is shared between the two.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && qEnvironmentVariableIsSet("DISPLAY") &&
      qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "xcb;wayland");
  QApplication application(argc, argv);
  // Lets Wayland compositors and task bars match the window with its desktop entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.example.vantoly"));
  QApplication::setWindowIcon(ApplicationIcon());
  // Message boxes in the dialog's face too, rather than a Latin face with a fallback.
  QApplication::setFont(DialogFont());
  CQtClipboard clipboard;
  CVantolyDlg dialog(clipboard);
  // The result passes to the keeper while the window is still up where that costs no wait.
  dialog.SetClosing([&clipboard] { clipboard.HandOver(KeeperPath()); });
  const int result = dialog.exec();
  // The window goes at once, and a new copy may start while the result passes to the keeper.
  dialog.hide();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  m_instanceGuard.Release();
  clipboard.KeepResult(KeeperPath());
  return result;
}

QString CVantolyApp::KeeperPath() {
  const QString folder = QCoreApplication::applicationDirPath();
  for (const QString &candidate : {folder + QStringLiteral("/vantoly-keeper"),
                                   folder + QStringLiteral("/../lib/vantoly/vantoly-keeper")}) {
    const QFileInfo keeper(candidate);
    if (keeper.isFile() && keeper.isExecutable())
      return keeper.canonicalFilePath();
  }
  return {};
}
