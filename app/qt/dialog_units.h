// Dialog units: a dialog template's coordinates, measured in quarters of the dialog font's
// average character width and eighths of its height, so that a layout grows with its font.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

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

// A dialog template's controls placed in pixels: each at its template rectangle, unless its text
// needs more width than the template gives it (with another face than the template's, or a
// longer list entry); then the control grows, the controls to its right on the same rows move
// along, and the dialog grows by as much, so that every text shows whole and the template's
// proportions hold wherever they fit.
class CTemplateLayout {
public:
  // Adds a control at `rect` (pixels, from the template).
  void Add(QWidget *control, const QRect &rect);
  // Places every control; returns the client size for a template of `size` pixels.
  QSize Apply(QSize size);

private:
  struct Placed {
    QWidget *control;
    QRect rect;
  };
  std::vector<Placed> m_controls;
};
