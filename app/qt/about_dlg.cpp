#include "app/qt/about_dlg.h"

#include <QLabel>
#include <QPushButton>
#include <utility>

#include "app/core/texts.h"
#include "app/qt/dialog_units.h"

namespace {

// The template, in dialog units.
constexpr int TemplateWidth = 218;
constexpr int TemplateHeight = 69;

QLabel *MakeText(QWidget *parent, const char *text) {
  auto *label = new QLabel(QString::fromUtf8(text), parent);
  // Shown as written: an ampersand in a name is not a mnemonic here.
  label->setTextFormat(Qt::PlainText);
  return label;
}

} // namespace

CAboutDlg::CAboutDlg(const QIcon &icon, UrlOpener openUrl, QWidget *parent)
    : QDialog(parent), m_openUrl(std::move(openUrl)) {
  setWindowTitle(QString::fromUtf8(AboutCaption));
  // A fixed dialog frame: caption, window menu and close box; no help, minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  const CDialogUnits units(font());

  m_pIcon = new QLabel(this);
  m_pIcon->setPixmap(icon.pixmap(32, 32));
  m_pIcon->setAlignment(Qt::AlignCenter);
  m_pIcon->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_pIcon->setGeometry(units.ToPixels(15, 10, 20, 20));
  CTemplateLayout layout;
  m_pTitle = MakeText(this, AboutTitleText);
  layout.Add(m_pTitle, units.ToPixels(40, 10, 119, 8));
  m_pNotice = MakeText(this, AboutNoticeText);
  layout.Add(m_pNotice, units.ToPixels(40, 35, 169, 8));
  m_pOkButton = new QPushButton(QString::fromUtf8(OkButtonText), this);
  layout.Add(m_pOkButton, units.ToPixels(130, 50, 50, 14));
  m_pOkButton->setDefault(true);
  m_pVersion = MakeText(this, AboutVersionText);
  layout.Add(m_pVersion, units.ToPixels(115, 20, 50, 8));
  m_pHomePageButton = new QPushButton(QString::fromUtf8(HomePageButtonText), this);
  layout.Add(m_pHomePageButton, units.ToPixels(35, 50, 55, 14));

  setTabOrder(m_pOkButton, m_pHomePageButton);
  m_pOkButton->setFocus();
  setFixedSize(
      layout.Apply(QSize(units.ToPixelsX(TemplateWidth), units.ToPixelsY(TemplateHeight))));

  connect(m_pOkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(m_pHomePageButton, &QPushButton::clicked, this, &CAboutDlg::OnHomePage);
}

void CAboutDlg::OnHomePage() {
  if (m_openUrl)
    m_openUrl(QUrl(QString::fromUtf8(HomePageUrl)));
}
