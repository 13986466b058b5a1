#include "app/qt/url_opener.h"

#include <QDesktopServices>

UrlOpener DesktopUrlOpener() {
  // Whether the desktop could open it is not reported: there is nothing the user could do.
  return [](const QUrl &url) { QDesktopServices::openUrl(url); };
}
