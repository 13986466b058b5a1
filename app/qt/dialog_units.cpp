#include "app/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <QStringList>

#include "app/core/texts.h"

namespace {

// a × b / c rounded half away from zero, as dialog managers scale units.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

} // namespace

QFont DialogFont() {
  const QString face = QString::fromUtf8(DialogFontFace);
  // Proportional faces first, like the original; fontconfig would otherwise hand out a Latin
  // face and draw the Japanese through a fallback with other metrics.
  QFont::insertSubstitutions(face,
                             {QStringLiteral("IPAPGothic"), QStringLiteral("VL PGothic"),
                              QStringLiteral("TakaoPGothic"), QStringLiteral("Noto Sans CJK JP"),
                              QStringLiteral("IPAGothic")});
  QFont font(face);
  font.setPointSize(DialogFontPoints);
  return font;
}

CDialogUnits::CDialogUnits(const QFont &font) {
  const QFontMetrics metrics(font);
  // The average width of the 52 Latin letters, rounded, and the font's full height.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_nBaseX = (letters / 26 + 1) / 2;
  m_nBaseY = metrics.height();
}

int CDialogUnits::ToPixelsX(int du) const { return MulDiv(du, m_nBaseX, 4); }
int CDialogUnits::ToPixelsY(int du) const { return MulDiv(du, m_nBaseY, 8); }

QRect CDialogUnits::ToPixels(int x, int y, int width, int height) const {
  return QRect(ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height));
}
