#include "app/qt/vantoly_dlg.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QWindow>
#include <algorithm>
#include <utility>

#include "app/core/conversion_mode.h"
#include "app/core/texts.h"
#include "app/qt/about_dlg.h"
#include "app/qt/dialog_units.h"
#include "app/qt/feedback_qt.h"

namespace {

// The template, in dialog units.
constexpr int TemplateWidth = 119;
constexpr int TemplateHeight = 39;
constexpr int ModeListDroppedHeight = 130;
// The frame assumed before the window manager has drawn one: a title bar and borders about as
// large as desktops draw them.
constexpr QMargins AssumedFrame(8, 32, 8, 8);
// How long the frame is watched after the window appears: 40 × 50 ms.
constexpr int FrameCheckInterval = 50;
constexpr int FrameCheckCount = 40;

// The keys that open a menu from the keyboard: the Menu key and Shift+F10 for a context menu,
// Alt+Space for the window menu. On Linux the window menu belongs to the window manager and
// cannot be extended, so all of them open ours (where the window manager lets Alt+Space
// through).
bool IsMenuKey(const QKeyEvent &key) {
  const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
  return (key.key() == Qt::Key_Menu && modifiers == Qt::NoModifier) ||
         (key.key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier) ||
         (key.key() == Qt::Key_Space && modifiers == Qt::AltModifier);
}

} // namespace

QIcon ApplicationIcon() {
  QIcon icon;
  icon.addFile(QStringLiteral(":/vantoly/vantoly-16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/vantoly/vantoly-32.png"), QSize(32, 32));
  return icon;
}

CVantolyDlg::CVantolyDlg(CClipboard &clipboard, CConvertFeedback *feedback, QWidget *parent)
    : QDialog(parent), m_clipboard(clipboard), m_pFeedback(feedback),
      m_openUrl(DesktopUrlOpener()) {
  if (m_pFeedback == nullptr) {
    m_pOwnFeedback = std::make_unique<CQtFeedback>(this);
    m_pFeedback = m_pOwnFeedback.get();
  }
  m_hIcon = ApplicationIcon();
  setWindowTitle(QString::fromUtf8(AppTitle));
  // A fixed dialog frame: caption, window menu and close box; no help, minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  const CDialogUnits units(font());

  CTemplateLayout layout;
  m_pConvertButton = new QPushButton(QString::fromUtf8(ConvertButtonText), this);
  layout.Add(m_pConvertButton, units.ToPixels(10, 20, 50, 15));
  m_pConvertButton->setDefault(true);
  m_pModeLabel = new QLabel(QString::fromUtf8(ModeLabelText), this);
  layout.Add(m_pModeLabel, units.ToPixels(5, 5, 28, 8));
  m_pModeList = new QComboBox(this);
  for (const ConversionModeEntry &mode : ConversionModes)
    m_pModeList->addItem(QString::fromUtf8(mode.text));
  m_pModeLabel->setBuddy(m_pModeList);
  // The template's height is the dropped list's; the closed box is as high as its style needs.
  const QRect listRect = units.ToPixels(35, 5, 80, ModeListDroppedHeight);
  layout.Add(m_pModeList,
             QRect(listRect.topLeft(), QSize(listRect.width(), m_pModeList->sizeHint().height())));
  m_pExitButton = new QPushButton(QString::fromUtf8(ExitButtonText), this);
  layout.Add(m_pExitButton, units.ToPixels(75, 20, 40, 15));
  setFixedSize(
      layout.Apply(QSize(units.ToPixelsX(TemplateWidth), units.ToPixelsY(TemplateHeight))));
  // The dropped height holds the closed box and the list below it.
  const int rowHeight = std::max(1, m_pModeList->view()->sizeHintForRow(0));
  m_pModeList->setMaxVisibleItems(
      std::max(1, (listRect.height() - m_pModeList->height()) / rowHeight));

  setTabOrder(m_pConvertButton, m_pModeList);
  setTabOrder(m_pModeList, m_pExitButton);

  connect(m_pConvertButton, &QPushButton::clicked, this, &CVantolyDlg::OnConvert);
  connect(m_pExitButton, &QPushButton::clicked, this, &QDialog::reject);
  auto *help = new QShortcut(QKeySequence::HelpContents, this);
  connect(help, &QShortcut::activated, this, &CVantolyDlg::OnHelp);
  m_frameWatch.setInterval(FrameCheckInterval);
  connect(&m_frameWatch, &QTimer::timeout, this, [this] {
    if (++m_nFrameChecks >= FrameCheckCount)
      m_frameWatch.stop();
    CheckFrame(true);
  });
  installEventFilter(this);
  for (QWidget *control :
       {static_cast<QWidget *>(m_pConvertButton), static_cast<QWidget *>(m_pModeLabel),
        static_cast<QWidget *>(m_pModeList), static_cast<QWidget *>(m_pExitButton)})
    control->installEventFilter(this);

  OnInitDialog();
}

CVantolyDlg::~CVantolyDlg() = default;

void CVantolyDlg::OnInitDialog() {
  m_pContextMenu = new QMenu(this);
  // The item sits behind a separator, as it would at the end of a window menu; by default a
  // menu hides a separator that comes first.
  m_pContextMenu->setSeparatorsCollapsible(false);
  m_pContextMenu->addSeparator();
  QAction *about = m_pContextMenu->addAction(QString::fromUtf8(AboutMenuText));
  connect(about, &QAction::triggered, this, &CVantolyDlg::OnAbout);

  setWindowIcon(m_hIcon);
  m_nMode = 0;
  DoDataExchange(false);
  // The first tab stop has the focus.
  m_pConvertButton->setFocus();
}

bool CVantolyDlg::DoDataExchange(bool bSave) {
  if (bSave)
    m_nMode = m_pModeList->currentIndex();
  else
    m_pModeList->setCurrentIndex(m_nMode);
  return true;
}

void CVantolyDlg::OnConvert() {
  // Enter pressed again while the bytes are on their way starts nothing.
  if (m_bFetching || !DoDataExchange(true))
    return;
  const int nMode = m_nMode;
  if (nMode >= 0 && m_clipboard.BeginFetch([this, nMode] {
        m_bFetching = false;
        m_pFeedback->EndWaitCursor();
        RunConvertCommand(nMode, m_clipboard, *m_pFeedback);
      })) {
    m_bFetching = true;
    m_pFeedback->BeginWaitCursor();
    return;
  }
  RunConvertCommand(nMode, m_clipboard, *m_pFeedback);
}

void CVantolyDlg::done(int result) {
  if (m_bFetching) {
    // The clipboard is left as it was.
    m_clipboard.CancelFetch();
    m_bFetching = false;
    m_pFeedback->EndWaitCursor();
  }
  if (const std::function<void()> closing = std::exchange(m_closing, nullptr))
    closing();
  QDialog::done(result);
}

void CVantolyDlg::OnAbout() {
  CAboutDlg about(m_hIcon, m_openUrl, this);
  about.exec();
}

QString CVantolyDlg::HelpPagePath() {
  const QString folder = QCoreApplication::applicationDirPath();
  const QString name = ApplicationTitle() + QStringLiteral(".html");
  for (const QString &candidate : {folder + QLatin1Char('/') + name,
                                   folder + QStringLiteral("/../share/doc/vantoly/") + name}) {
    const QFileInfo page(candidate);
    if (page.isFile())
      return page.canonicalFilePath();
  }
  return {};
}

void CVantolyDlg::OnHelp() {
  const QString page = HelpPagePath();
  if (!page.isEmpty() && m_openUrl)
    m_openUrl(QUrl::fromLocalFile(page));
}

void CVantolyDlg::ShowContextMenu(const QPoint &globalPos) {
  // A second request while the menu is up (a key that also arrives as a context-menu event)
  // must not stack another menu; nor does a menu open while the clipboard's bytes are on their
  // way, since the command they start would then run under it.
  if (m_bMenuOpen || m_bFetching)
    return;
  m_bMenuOpen = true;
  m_pContextMenu->exec(globalPos);
  m_bMenuOpen = false;
}

QRect CVantolyDlg::WorkArea() const {
  if (m_workArea)
    return *m_workArea;
  const QScreen *screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect();
}

QMargins CVantolyDlg::FrameMargins() const {
  const QRect frame = frameGeometry();
  const QRect client = geometry();
  return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                  frame.right() - client.right(), frame.bottom() - client.bottom());
}

void CVantolyDlg::PlaceAtBottomRight() {
  const QRect area = WorkArea();
  if (area.isEmpty())
    return;
  // Computed from the work area and the frame's size alone, never from where the window is
  // now: a position the window manager has not reported yet cannot then shift the window twice.
  // Until the window is on the screen its frame is unknown: a title bar and border are assumed
  // then, so that the first position asked for keeps the whole frame inside the work area
  // rather than a title bar's height below it. The window is placed again once the real frame
  // (or the lack of one) shows.
  QMargins margins = FrameMargins();
  const QWindow *window = windowHandle();
  if (margins.isNull() && (window == nullptr || !window->isExposed()))
    margins = AssumedFrame;
  const QSize frame = size().grownBy(margins);
  move(area.right() + 1 - frame.width(), area.bottom() + 1 - frame.height());
  m_placedFrame = frame;
  m_placedMargins = margins;
}

void CVantolyDlg::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (m_placedFrame)
    return;
  PlaceAtBottomRight();
  // The window manager's frame becomes known only after the window is up, so the placement
  // above could count only the client area. Moves and resizes are checked as they come, and a
  // short watch catches a frame that arrives without either; the window is placed again
  // whenever its frame differs from the one it was placed with. A window the user moves keeps
  // its frame, so it stays where it was put.
  m_nFrameChecks = 0;
  m_frameWatch.start();
}

void CVantolyDlg::CheckFrame(bool bWatching) {
  if (!isVisible() || !m_placedFrame)
    return;
  // The size counts too: a window that grows after it was placed (its font resolved anew for
  // the screen) would otherwise hang over the work area's edge. While the frame is watched, a
  // frame outside the work area is placed again as well: on a busy desktop the window manager
  // can report the frame late, after a placement that counted a frame it no longer has.
  const QMargins margins = FrameMargins();
  if (*m_placedMargins != margins || *m_placedFrame != size().grownBy(margins) ||
      (bWatching && !WorkArea().contains(frameGeometry())))
    PlaceAtBottomRight();
}

bool CVantolyDlg::event(QEvent *event) {
  const bool handled = QDialog::event(event);
  if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
    CheckFrame();
  return handled;
}

bool CVantolyDlg::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::KeyPress && IsMenuKey(*static_cast<QKeyEvent *>(event))) {
    const auto *key = static_cast<QKeyEvent *>(event);
    QWidget *anchor = key->key() == Qt::Key_Space ? this : focusWidget();
    if (anchor == nullptr)
      anchor = this;
    // Under the window menu's usual place for Alt+Space, under the focused control otherwise.
    ShowContextMenu(anchor == this ? mapToGlobal(QPoint(0, 0))
                                   : anchor->mapToGlobal(QPoint(0, anchor->height())));
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void CVantolyDlg::contextMenuEvent(QContextMenuEvent *event) {
  ShowContextMenu(event->globalPos());
  event->accept();
}
