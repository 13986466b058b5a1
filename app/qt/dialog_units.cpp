#include "app/qt/dialog_units.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QString>
#include <QStringList>
#include <QStyle>
#include <algorithm>

#include "app/core/texts.h"

namespace {

// a × b / c rounded half away from zero, as dialog managers scale units.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

// The width a control's text needs. A push button's own size hint holds a style's minimum
// width, wider than most template buttons, so only its text and margins count.
int NeededWidth(const QWidget &control) {
  if (const auto *button = qobject_cast<const QAbstractButton *>(&control)) {
    const QStyle *style = button->style();
    const QString text = QString(button->text()).remove(QLatin1Char('&'));
    return button->fontMetrics().horizontalAdvance(text) +
           2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
  }
  return control.sizeHint().width();
}

bool SameRow(const QRect &a, const QRect &b) {
  return a.top() <= b.bottom() && b.top() <= a.bottom();
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

void CTemplateLayout::Add(QWidget *control, const QRect &rect) {
  m_controls.push_back({control, rect});
}

QSize CTemplateLayout::Apply(QSize size) {
  // Left to right: a control moves by the most any control before it on its rows moved and
  // grew, so the gaps between them stay the template's.
  std::stable_sort(m_controls.begin(), m_controls.end(),
                   [](const Placed &a, const Placed &b) { return a.rect.left() < b.rect.left(); });
  std::vector<int> pushed(m_controls.size(), 0);
  int widest = 0;
  for (std::size_t i = 0; i < m_controls.size(); ++i) {
    const QRect &rect = m_controls[i].rect;
    int shift = 0;
    for (std::size_t j = 0; j < i; ++j)
      if (m_controls[j].rect.right() < rect.left() && SameRow(m_controls[j].rect, rect))
        shift = std::max(shift, pushed[j]);
    const int growth = std::max(0, NeededWidth(*m_controls[i].control) - rect.width());
    pushed[i] = shift + growth;
    widest = std::max(widest, pushed[i]);
    m_controls[i].control->setGeometry(rect.translated(shift, 0).adjusted(0, 0, growth, 0));
  }
  return size + QSize(widest, 0);
}
