// The main dialog and the about box on the offscreen platform: what the user sees, the
// keyboard, placement, and the Convert command through the process's real Qt clipboard with
// the real message boxes (answered by a timer, as a user would).
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>

#include "app/core/conversion_mode.h"
#include "app/core/texts.h"
#include "app/qt/about_dlg.h"
#include "app/qt/dialog_units.h"
#include "app/qt/feedback_qt.h"
#include "app/qt/vantoly_dlg.h"
#include "clipboard/qt/clipboard_qt.h"
#include "codec/bmp_file.h"
#include "codec/png_file.h"

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

QByteArray ToBytes(const std::vector<std::uint8_t> &bytes) {
  return QByteArray(reinterpret_cast<const char *>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

// A 24-bit picture with some of everything: grays, colours, a gradient.
void MakePicture(CDibImage &image) {
  QVERIFY(image.Create(13, 7, 24));
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 13; ++x) {
      std::uint8_t *p = image.PixelAddress(x, y);
      p[0] = static_cast<std::uint8_t>(x * 19);
      p[1] = static_cast<std::uint8_t>(y * 36);
      p[2] = static_cast<std::uint8_t>((x + y) * 12);
    }
}

// What the core makes of `source` in `mode`, as the BMP file the clipboard should then hold.
QByteArray ExpectedBmp(const CDibImage &source, int mode) {
  CDibImage result;
  if (!ConversionModes[mode].convert(source, result))
    return {};
  return ToBytes(EncodeBmpFile(result));
}

QByteArray ClipboardData(const char *type) {
  const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
  return mime != nullptr ? mime->data(QString::fromLatin1(type)) : QByteArray();
}

// Records what a feedback would have shown.
class CRecordingFeedback : public CConvertFeedback {
public:
  void ShowMessage(const char *text) override { m_messages.push_back(Text(text)); }
  void Beep() override { ++m_nBeeps; }
  void BeginWaitCursor() override {}
  void EndWaitCursor() override {}
  std::vector<QString> m_messages;
  int m_nBeeps = 0;
};

// The real clipboard with one stage made to fail, for the messages no real clipboard on this
// platform can be made to cause.
class CFailingClipboard : public CClipboard {
public:
  enum class Fail { Nothing, Conversion, Write };
  explicit CFailingClipboard(Fail fail) : m_fail(fail) {}
  bool ReadDib(CDibImage &image) override {
    if (!m_real.ReadDib(image))
      return false;
    // An image without pixels, which every converter refuses.
    if (m_fail == Fail::Conversion)
      image.Release();
    return true;
  }
  bool WriteDib(const CDibImage &image) override {
    return m_fail != Fail::Write && m_real.WriteDib(image);
  }

private:
  CQtClipboard m_real;
  Fail m_fail;
};

// What a message box showed, seen by the user who dismissed it.
struct SeenBox {
  bool shown = false;
  QString text;
  QString title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget *parent = nullptr;
  bool modal = false;
  bool waitCursor = false;
};

// Waits for a modal widget of type T and hands it to `act` (which must close it). Gives up
// after two seconds, so a box that never comes fails the test instead of hanging it, and dies
// with `owner`, so that it never acts in a later test.
template <typename T> void WhenModal(QObject *owner, std::function<void(T *)> act) {
  auto *timer = new QTimer(owner);
  auto tries = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
    if (auto *widget = qobject_cast<T *>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(widget);
    } else if (++*tries > 200) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

void AnswerMessageBox(QObject *owner, SeenBox &seen) {
  WhenModal<QMessageBox>(owner, [&seen](QMessageBox *box) {
    seen.shown = true;
    seen.text = box->text();
    seen.title = box->windowTitle();
    seen.icon = box->icon();
    seen.parent = box->parentWidget();
    seen.modal = box->isModal();
    seen.waitCursor = QApplication::overrideCursor() != nullptr &&
                      QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    QTest::keyClick(box, Qt::Key_Return);
  });
}

// The same for a popup menu.
void WhenPopup(QObject *owner, std::function<void(QMenu *)> act) {
  auto *timer = new QTimer(owner);
  auto tries = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
    if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
      timer->stop();
      timer->deleteLater();
      act(menu);
    } else if (++*tries > 200) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

} // namespace

class VantolyDlgTest : public QObject {
  Q_OBJECT

public slots:
  // Anything that tries to open an address lands here instead of in a browser.
  void openedByDesktop(const QUrl &url) { m_desktopOpened.push_back(url); }

private:
  std::vector<QUrl> m_desktopOpened;
  std::vector<QUrl> m_opened;

  // A dialog on screen with the keyboard focus, opening addresses into m_opened.
  void ShowActive(CVantolyDlg &dlg) {
    dlg.SetUrlOpener([this](const QUrl &url) { m_opened.push_back(url); });
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
  }

private slots:
  void initTestCase() {
    for (const char *scheme : {"http", "https", "file"})
      QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openedByDesktop");
  }
  void init() {
    QGuiApplication::clipboard()->clear();
    m_opened.clear();
  }
  void cleanupTestCase() { QVERIFY(m_desktopOpened.empty()); }

  void controlsTextsAndTemplate() {
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard);
    QCOMPARE(dlg.windowTitle(), Text(AppTitle));
    QCOMPARE(dlg.m_pConvertButton->text(), Text(ConvertButtonText));
    QCOMPARE(dlg.m_pModeLabel->text(), Text(ModeLabelText));
    QCOMPARE(dlg.m_pExitButton->text(), Text(ExitButtonText));
    QCOMPARE(dlg.m_pModeList->count(), ConversionModeCount);
    for (int mode = 0; mode < ConversionModeCount; ++mode)
      QCOMPARE(dlg.m_pModeList->itemText(mode), Text(ConversionModes[mode].text));
    QVERIFY(!dlg.m_pModeList->isEditable());
    QCOMPARE(dlg.m_pModeList->currentIndex(), 0);
    QCOMPARE(dlg.m_nMode, 0);
    QVERIFY(dlg.m_pConvertButton->isDefault());
    QVERIFY(!dlg.m_pExitButton->isDefault());
    QCOMPARE(dlg.m_pModeLabel->buddy(), dlg.m_pModeList);
    QVERIFY(!dlg.windowIcon().isNull());
    QVERIFY(!dlg.m_hIcon.pixmap(16, 16).isNull());
    QCOMPARE(dlg.m_hIcon.availableSizes(), (QList<QSize>{QSize(16, 16), QSize(32, 32)}));

    // The face that stands in for the dialog font, where it is installed (the test script
    // installs it).
    if (QFontDatabase::families().contains(QStringLiteral("IPAPGothic")))
      QCOMPARE(QFontInfo(dlg.font()).family(), QStringLiteral("IPAPGothic"));
    QCOMPARE(dlg.font().pointSize(), DialogFontPoints);

    // Positions from dialog units, through the dialog font's metrics; a control whose text
    // needs more room grows, and pushes what stands to its right along.
    const CDialogUnits units(dlg.font());
    QVERIFY(units.BaseX() > 0 && units.BaseY() > 0);
    QVERIFY(dlg.width() >= units.ToPixelsX(119));
    QCOMPARE(dlg.height(), units.ToPixelsY(39));
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize()); // a fixed frame
    QCOMPARE(dlg.m_pConvertButton->geometry(), units.ToPixels(10, 20, 50, 15));
    QCOMPARE(dlg.m_pModeLabel->pos(), units.ToPixels(5, 5, 28, 8).topLeft());
    QCOMPARE(dlg.m_pModeList->y(), units.ToPixelsY(5));
    QCOMPARE(dlg.m_pModeList->x() - dlg.m_pModeLabel->geometry().right(),
             units.ToPixelsX(35) - units.ToPixels(5, 5, 28, 8).right());
    QVERIFY(dlg.m_pModeList->width() >= units.ToPixelsX(80));
    QVERIFY(dlg.m_pModeList->geometry().bottom() < dlg.m_pConvertButton->geometry().top());
    QVERIFY(dlg.m_pModeList->maxVisibleItems() >= ConversionModeCount);
    QCOMPARE(dlg.m_pExitButton->y(), units.ToPixelsY(20));
    QVERIFY(dlg.m_pExitButton->x() >= units.ToPixelsX(75));
    // Every text whole: the label's, and the longest mode's in the closed list.
    QVERIFY(dlg.m_pModeLabel->width() >= dlg.m_pModeLabel->sizeHint().width());
    QVERIFY(dlg.m_pModeList->width() >= dlg.m_pModeList->sizeHint().width());
    QVERIFY(dlg.m_pModeList->geometry().right() < dlg.width());
  }

  // At 96 dpi the face gives the classic base units: 119 × 39 units are 208 × 63 pixels.
  void dialogUnitsAt96Dpi() {
    if (!QFontDatabase::families().contains(QStringLiteral("IPAPGothic")) ||
        QGuiApplication::primaryScreen()->logicalDotsPerInch() != 96)
      QSKIP("needs IPAPGothic on a 96 dpi screen");
    const CDialogUnits units(DialogFont());
    QCOMPARE(units.BaseX(), 7);
    QCOMPARE(units.BaseY(), 13);
    QCOMPARE(units.ToPixels(0, 0, 119, 39).size(), QSize(208, 63));
  }

  void tabOrderStartsAtConvert() {
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard);
    ShowActive(dlg);
    QCOMPARE(QApplication::focusWidget(), dlg.m_pConvertButton);
    const std::vector<QWidget *> order = {dlg.m_pModeList, dlg.m_pExitButton, dlg.m_pConvertButton};
    for (QWidget *next : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), dlg.m_pExitButton);
  }

  // Alt+M to the list, arrows to pick a mode, Enter converts with it (Convert is the default
  // button), Alt+C converts again; Esc ends the dialog.
  void keyboardConvertsWithTheChosenMode() {
    CRecordingFeedback feedback;
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard, &feedback);
    ShowActive(dlg);
    CDibImage source;
    MakePicture(source);
    QGuiApplication::clipboard()->clear();
    auto *mime = new QMimeData;
    mime->setData(QStringLiteral("image/bmp"), ToBytes(EncodeBmpFile(source)));
    QGuiApplication::clipboard()->setMimeData(mime);

    QTest::keyClick(&dlg, Qt::Key_M, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.m_pModeList);
    for (int i = 0; i < 5; ++i)
      QTest::keyClick(dlg.m_pModeList, Qt::Key_Down);
    QTest::keyClick(dlg.m_pModeList, Qt::Key_Return);
    QCOMPARE(dlg.m_nMode, 5);
    QCOMPARE(feedback.m_nBeeps, 1);
    QVERIFY(feedback.m_messages.empty());
    const QByteArray first = ExpectedBmp(source, 5);
    QCOMPARE(ClipboardData("image/bmp"), first);

    // Again: the previous result is converted now (1 bit at twice the size, then again).
    QTest::keyClick(&dlg, Qt::Key_C, Qt::AltModifier);
    QTRY_COMPARE(feedback.m_nBeeps, 2);
    CDibImage firstResult;
    QVERIFY(ReadBmpFile(reinterpret_cast<const std::uint8_t *>(first.constData()),
                        static_cast<std::size_t>(first.size()), firstResult));
    QCOMPARE(ClipboardData("image/bmp"), ExpectedBmp(firstResult, 5));

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
  }

  void exitMnemonicAndCloseBoxEndTheDialog() {
    CQtClipboard clipboard;
    CVantolyDlg byMnemonic(clipboard);
    ShowActive(byMnemonic);
    QTest::keyClick(&byMnemonic, Qt::Key_X, Qt::AltModifier);
    QTRY_VERIFY(!byMnemonic.isVisible());
    QCOMPARE(byMnemonic.result(), int(QDialog::Rejected));

    CVantolyDlg byCloseBox(clipboard);
    ShowActive(byCloseBox);
    QVERIFY(byCloseBox.close());
    QCOMPARE(byCloseBox.result(), int(QDialog::Rejected));
  }

  // Right-click, the Menu key, Shift+F10 and Alt+Space all open the menu: a separator, then
  // the About item.
  void contextMenuOpensFromMouseAndKeys_data() {
    QTest::addColumn<int>("trigger");
    QTest::newRow("right click") << 0;
    QTest::newRow("Menu key") << 1;
    QTest::newRow("Shift+F10") << 2;
    QTest::newRow("Alt+Space") << 3;
  }
  void contextMenuOpensFromMouseAndKeys() {
    QFETCH(int, trigger);
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard);
    ShowActive(dlg);
    bool seen = false;
    WhenPopup(&dlg, [&](QMenu *menu) {
      seen = menu == dlg.m_pContextMenu;
      const QList<QAction *> actions = menu->actions();
      QCOMPARE(actions.size(), 2);
      QVERIFY(actions[0]->isSeparator());
      QCOMPARE(actions[1]->text(), Text(AboutMenuText));
      QVERIFY(!menu->separatorsCollapsible());
      menu->close();
    });
    QWidget *focus = QApplication::focusWidget();
    switch (trigger) {
    case 0: {
      // What a right-click on the label becomes; the label passes it on to the dialog.
      QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2),
                              dlg.m_pModeLabel->mapToGlobal(QPoint(2, 2)));
      QApplication::sendEvent(dlg.m_pModeLabel, &click);
      break;
    }
    case 1: QTest::keyClick(focus, Qt::Key_Menu); break;
    case 2: QTest::keyClick(focus, Qt::Key_F10, Qt::ShiftModifier); break;
    case 3: QTest::keyClick(focus, Qt::Key_Space, Qt::AltModifier); break;
    }
    QTRY_VERIFY(seen);
    QTRY_VERIFY(QApplication::activePopupWidget() == nullptr);
    QVERIFY(dlg.isVisible());
  }

  // The About item opens the about box: icon, texts, OK as default, the home-page button
  // opening the page each time it is pressed and leaving the box open; Esc closes it and the
  // main dialog keeps its mode.
  void aboutBoxFromTheMenu() {
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard);
    ShowActive(dlg);
    dlg.m_pModeList->setCurrentIndex(3);

    bool aboutSeen = false;
    WhenPopup(&dlg, [](QMenu *menu) { QTest::keyClick(menu, Qt::Key_A); });
    WhenModal<CAboutDlg>(&dlg, [&](CAboutDlg *about) {
      aboutSeen = true;
      QCOMPARE(about->parentWidget(), &dlg);
      QCOMPARE(about->windowTitle(), Text(AboutCaption));
      QCOMPARE(about->m_pTitle->text(), Text(AboutTitleText));
      QCOMPARE(about->m_pVersion->text(), Text(AboutVersionText));
      QCOMPARE(about->m_pNotice->text(), Text(AboutNoticeText));
      QCOMPARE(about->m_pOkButton->text(), Text(OkButtonText));
      QCOMPARE(about->m_pHomePageButton->text(), Text(HomePageButtonText));
      QVERIFY(!about->m_pIcon->pixmap().isNull());
      QVERIFY(about->m_pOkButton->isDefault());
      QCOMPARE(about->focusWidget(), about->m_pOkButton);
      const CDialogUnits units(about->font());
      QCOMPARE(about->size(), QSize(units.ToPixelsX(218), units.ToPixelsY(69)));
      QCOMPARE(about->m_pOkButton->geometry(), units.ToPixels(130, 50, 50, 14));
      QCOMPARE(about->m_pHomePageButton->geometry(), units.ToPixels(35, 50, 55, 14));

      QTest::mouseClick(about->m_pHomePageButton, Qt::LeftButton);
      QTest::mouseClick(about->m_pHomePageButton, Qt::LeftButton);
      QCOMPARE(m_opened.size(), std::size_t{2});
      QCOMPARE(m_opened[1], QUrl(Text(HomePageUrl)));
      QVERIFY(about->isVisible());
      QTest::keyClick(about, Qt::Key_Escape);
    });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(aboutSeen);
    QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.m_pModeList->currentIndex(), 3);
  }

  void aboutBoxEnterClosesIt() {
    CAboutDlg about(ApplicationIcon(), nullptr);
    about.show();
    QVERIFY(QTest::qWaitForWindowActive(&about));
    QTest::keyClick(&about, Qt::Key_Return);
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), int(QDialog::Accepted));
  }

  // The frame's bottom-right corner on the work area's, wherever the work area lies.
  void placedAtBottomRightOfTheWorkArea_data() {
    QTest::addColumn<QRect>("workArea");
    QTest::newRow("taskbar at the bottom") << QRect(0, 0, 800, 570);
    QTest::newRow("panel on the left and top") << QRect(64, 30, 736, 570);
    QTest::newRow("primary screen") << QRect();
  }
  void placedAtBottomRightOfTheWorkArea() {
    QFETCH(QRect, workArea);
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard);
    if (workArea.isValid())
      dlg.SetWorkArea(workArea);
    else
      workArea = QGuiApplication::primaryScreen()->availableGeometry();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTRY_COMPARE(dlg.frameGeometry().bottomRight(), workArea.bottomRight());
    QCOMPARE(dlg.size(), dlg.minimumSize()); // moved, not resized
  }

  // F1 opens the page named after the executable beside it, and nothing when it is missing.
  void helpKeyOpensThePageWhenPresent() {
    CQtClipboard clipboard;
    CVantolyDlg dlg(clipboard);
    ShowActive(dlg);
    const QString page =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + ApplicationTitle() + ".html";
    QFile::remove(page);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    QVERIFY(m_opened.empty());
    QFile file(page);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<html></html>");
    file.close();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    const QUrl expected = QUrl::fromLocalFile(QFileInfo(page).canonicalFilePath());
    QFile::remove(page);
    QCOMPARE(m_opened.size(), std::size_t{1});
    QCOMPARE(m_opened[0], expected);
  }

  // The Convert command through the real clipboard with the real feedback: success from a BMP
  // and from a PNG (beep, no box), and each of the four messages in a modal warning box owned
  // by the dialog, with the clipboard untouched after every failure.
  void convertSucceedsFromBmpAndPng_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("mode");
    QTest::newRow("BMP, mode 0") << "image/bmp" << 0;
    QTest::newRow("BMP, mode 7") << "image/bmp" << 7;
    QTest::newRow("PNG, mode 2") << "image/png" << 2;
    QTest::newRow("PNG, mode 6") << "image/png" << 6;
  }
  void convertSucceedsFromBmpAndPng() {
    QFETCH(QString, type);
    QFETCH(int, mode);
    CDibImage source;
    MakePicture(source);
    auto *mime = new QMimeData;
    mime->setData(type, type == "image/bmp" ? ToBytes(EncodeBmpFile(source))
                                            : EncodePictureBytes(source, PictureEncoding::Png));
    QGuiApplication::clipboard()->setMimeData(mime);

    int beeps = 0;
    CQtClipboard clipboard;
    CQtFeedback feedback(nullptr, [&beeps] { ++beeps; });
    CVantolyDlg withFeedback(clipboard, &feedback);
    SeenBox seen;
    AnswerMessageBox(&withFeedback, seen);
    withFeedback.m_pModeList->setCurrentIndex(mode);
    withFeedback.OnConvert();
    QCOMPARE(beeps, 1);
    QVERIFY(!seen.shown);
    QVERIFY(QApplication::overrideCursor() == nullptr);
    const QByteArray expected = ExpectedBmp(source, mode);
    QCOMPARE(ClipboardData("image/bmp"), expected);
    CDibImage result;
    QVERIFY(ReadBmpFile(reinterpret_cast<const std::uint8_t *>(expected.constData()),
                        static_cast<std::size_t>(expected.size()), result));
    QCOMPARE(ClipboardData("image/png"), EncodePictureBytes(result, PictureEncoding::Png));
  }

  // A PNG converts to the same bytes from the clipboard as from a file: the dialog decodes it
  // with the reader vantoly-convert uses for files (computed here in-process), 16-bit samples
  // and partial transparency included.
  void pngConvertsAsFromAFile() {
    QImage picture(64, 16, QImage::Format_RGBA64);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 64; ++x) {
        // Values of the form n × 257 + 128 sit halfway between two 8-bit values.
        const auto v = static_cast<quint16>(x * 257 + 128 + y * 64 * 257 / 16);
        picture.setPixelColor(x, y,
                              QColor::fromRgba64(v, static_cast<quint16>(65535 - v),
                                                 static_cast<quint16>(v / 2 + 128),
                                                 static_cast<quint16>(y < 8 ? 65535 : 40000)));
      }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(picture.save(&buffer, "png"));
    QCOMPARE(png[24], char(16)); // bit depth: 16-bit samples were written

    for (int mode : {1, 7}) {
      auto *mime = new QMimeData;
      mime->setData(QStringLiteral("image/png"), png);
      QGuiApplication::clipboard()->setMimeData(mime);
      CRecordingFeedback feedback;
      CQtClipboard clipboard;
      CVantolyDlg dlg(clipboard, &feedback);
      dlg.m_pModeList->setCurrentIndex(mode);
      dlg.OnConvert();
      QCOMPARE(feedback.m_nBeeps, 1);
      CDibImage fromFile;
      QVERIFY(ReadPngBytes(reinterpret_cast<const std::uint8_t *>(png.constData()),
                           static_cast<std::size_t>(png.size()), fromFile));
      QCOMPARE(ClipboardData("image/bmp"), ExpectedBmp(fromFile, mode));
    }
  }

  void convertReportsEachFailure_data() {
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("waitCursor");
    QTest::newRow("no mode selected") << 0 << Text(MessageNoModeSelected) << false;
    QTest::newRow("no bitmap on the clipboard") << 1 << Text(MessageNoClipboardBitmap) << false;
    QTest::newRow("conversion failed") << 2 << Text(MessageConversionFailed) << true;
    QTest::newRow("cannot paste") << 3 << Text(MessageCannotPaste) << true;
  }
  void convertReportsEachFailure() {
    QFETCH(int, failure);
    QFETCH(QString, message);
    QFETCH(bool, waitCursor);
    CDibImage source;
    MakePicture(source);
    const QByteArray bmp = ToBytes(EncodeBmpFile(source));
    auto *mime = new QMimeData;
    if (failure == 1)
      mime->setText(QStringLiteral("only text"));
    else
      mime->setData(QStringLiteral("image/bmp"), bmp);
    QGuiApplication::clipboard()->setMimeData(mime);

    CFailingClipboard clipboard(failure == 2   ? CFailingClipboard::Fail::Conversion
                                : failure == 3 ? CFailingClipboard::Fail::Write
                                               : CFailingClipboard::Fail::Nothing);
    // The dialog's own feedback: boxes owned by the dialog, the desktop's sound (which a
    // failure never plays).
    CVantolyDlg testee(clipboard);
    if (failure == 0)
      testee.m_pModeList->setCurrentIndex(-1);
    SeenBox seen;
    AnswerMessageBox(&testee, seen);
    testee.OnConvert();

    QVERIFY(seen.shown);
    QCOMPARE(seen.text, message);
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.title, ApplicationTitle());
    QCOMPARE(seen.parent, &testee);
    QVERIFY(seen.modal);
    QCOMPARE(seen.waitCursor, waitCursor);
    QVERIFY(QApplication::overrideCursor() == nullptr);
    if (failure == 1) {
      QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("only text"));
    } else {
      QCOMPARE(ClipboardData("image/bmp"), bmp);
      QVERIFY(!QGuiApplication::clipboard()->mimeData()->hasFormat(QStringLiteral("image/png")));
    }
  }
};

QTEST_MAIN(VantolyDlgTest)
#include "vantoly_dlg_test.moc"
