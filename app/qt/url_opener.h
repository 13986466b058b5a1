// How the program opens addresses (the home page, the help page). The dialogs take it as a
// parameter so that tests can watch what would be opened instead of starting a browser.
#pragma once

#include <QUrl>
#include <functional>

using UrlOpener = std::function<void(const QUrl &)>;

// Hands the address to the desktop (xdg-open and friends).
UrlOpener DesktopUrlOpener();
