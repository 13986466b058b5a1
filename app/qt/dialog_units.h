// Dialog units: a dialog template's coordinates, measured in quarters of the dialog font's
// average character width and eighths of its height, so that a layout grows with its font.
#pragma once

#include <QFont>
#include <QRect>

// The dialog font ("ＭＳ Ｐゴシック" 9 pt), with an installed Japanese proportional Gothic standing
// in for the face, which Linux lacks.
QFont DialogFont();

class CDialogUnits {
public:
  explicit CDialogUnits(const QFont &font);

  int BaseX() const { return m_nBaseX; }
  int BaseY() const { return m_nBaseY; }
  int ToPixelsX(int du) const;
  int ToPixelsY(int du) const;
  // A template rectangle (x, y, width, height) in pixels of the client area.
  QRect ToPixels(int x, int y, int width, int height) const;

private:
  int m_nBaseX;
  int m_nBaseY;
};
