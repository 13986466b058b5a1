// The main dialog: the mode list, Convert and Exit, in the bottom-right corner of the desktop.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMargins>
#include <QRect>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "app/qt/url_opener.h"

class CClipboard;
class CConvertFeedback;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;

// The application icon, 16 and 32 pixels.
QIcon ApplicationIcon();

class CVantolyDlg : public QDialog {
  Q_OBJECT

public:
  // `feedback` defaults to message boxes, the desktop's sound and the wait cursor.
  explicit CVantolyDlg(CClipboard &clipboard, CConvertFeedback *feedback = nullptr,
                       QWidget *parent = nullptr);
  ~CVantolyDlg() override;

  // Copies the list's selection into m_nMode (bSave) or m_nMode into the list.
  bool DoDataExchange(bool bSave);
  // The Convert command: the selection, then the core's command. Where the clipboard's bytes
  // must come from another program, they are fetched first while the window stays live (変換
  // does nothing meanwhile; Esc, 終了 and the close box end the dialog as always), and the
  // command runs once they are in.
  void OnConvert();
  // Ends the dialog, also while the clipboard's bytes are being fetched.
  void done(int result) override;
  // The about box, modal.
  void OnAbout();
  // The help page named after the executable, when it is installed.
  void OnHelp();
  // The menu with the About item, at a point on the screen; returns when it is closed.
  void ShowContextMenu(const QPoint &globalPos);
  // Moves the window so that its frame's bottom-right corner meets the work area's.
  void PlaceAtBottomRight();

  // Runs once when the dialog ends, a fetch under way given up, before its window goes.
  void SetClosing(std::function<void()> closing) { m_closing = std::move(closing); }

  // For tests: a work area instead of the primary screen's, and an opener that opens nothing.
  void SetWorkArea(std::optional<QRect> workArea) { m_workArea = workArea; }
  void SetUrlOpener(UrlOpener openUrl) { m_openUrl = std::move(openUrl); }
  // The help page F1 opens: beside the executable, else where `cmake --install` puts it.
  static QString HelpPagePath();

  int m_nMode = -1; // the selected ConversionMode, -1 for none
  QIcon m_hIcon;
  // The controls in template (and tab) order.
  QPushButton *m_pConvertButton;
  QLabel *m_pModeLabel;
  QComboBox *m_pModeList;
  QPushButton *m_pExitButton;
  QMenu *m_pContextMenu;

protected:
  bool event(QEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;
  void showEvent(QShowEvent *event) override;

private:
  void OnInitDialog();
  QRect WorkArea() const;
  QMargins FrameMargins() const;
  // Places the window again when its frame changed since it was placed, or (bWatching, in the
  // first moments after it appears) when the frame lies outside the work area.
  void CheckFrame(bool bWatching = false);

  CClipboard &m_clipboard;
  std::unique_ptr<CConvertFeedback> m_pOwnFeedback;
  CConvertFeedback *m_pFeedback;
  UrlOpener m_openUrl;
  std::optional<QRect> m_workArea;
  // The frame's size and margins the window was last placed with; once either differs (the
  // window manager's frame arrives, the window grows), the window is placed again.
  std::optional<QSize> m_placedFrame;
  std::optional<QMargins> m_placedMargins;
  QTimer m_frameWatch;
  int m_nFrameChecks = 0;
  bool m_bMenuOpen = false;
  bool m_bFetching = false; // the clipboard's bytes are on their way
  std::function<void()> m_closing;
};
