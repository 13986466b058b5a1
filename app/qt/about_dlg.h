// The version box: the program's icon, name, version and notice, and a button that opens the
// home page in the browser.
#pragma once

#include <QDialog>
#include <QIcon>

#include "app/qt/url_opener.h"

class QLabel;
class QPushButton;

class CAboutDlg : public QDialog {
  Q_OBJECT

public:
  CAboutDlg(const QIcon &icon, UrlOpener openUrl, QWidget *parent = nullptr);

  // Opens the home page; the box stays open.
  void OnHomePage();

  // The controls in template (and tab) order.
  QLabel *m_pIcon;
  QLabel *m_pTitle;
  QLabel *m_pNotice;
  QPushButton *m_pOkButton;
  QLabel *m_pVersion;
  QPushButton *m_pHomePageButton;

private:
  UrlOpener m_openUrl;
};
