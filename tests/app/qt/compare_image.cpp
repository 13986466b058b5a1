// Test helper for the X11 test.
//   vantoly_compare_image EXPECTED.bmp ACTUAL   exit 0 when ACTUAL (a PNG or any picture Qt
//                                               reads) has EXPECTED's size, pixels and, when
//                                               indexed, its colour table; else 1 and why
//   vantoly_compare_image --to-png IN.bmp OUT.png   IN written as PNG by Qt's own writer, the
//                                               way another Qt program would offer it, with
//                                               every degree of transparency
#include <QFile>
#include <QImage>
#include <cstdio>
#include <cstring>

#include "codec/bmp_file.h"

namespace {

bool ReadBmp(const char *path, CDibImage &image) {
  QFile file(QString::fromLocal8Bit(path));
  if (!file.open(QIODevice::ReadOnly))
    return false;
  const QByteArray bytes = file.readAll();
  return ReadBmpFile(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                     static_cast<std::size_t>(bytes.size()), image);
}

int Fail(const char *why) {
  std::fprintf(stderr, "vantoly_compare_image: %s\n", why);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--to-png") == 0) {
    QImage image(QString::fromLocal8Bit(argv[2]));
    if (image.isNull())
      return 1;
    // Every degree of transparency, so that the flattening onto white is part of what the
    // clipboard and the file must agree on.
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QRgb p = image.pixel(x, y);
        image.setPixel(x, y, qRgba(qRed(p), qGreen(p), qBlue(p), (x + 3 * y) % 256));
      }
    return image.save(QString::fromLocal8Bit(argv[3]), "png") ? 0 : 1;
  }
  if (argc != 3)
    return Fail("usage: vantoly_compare_image EXPECTED.bmp ACTUAL");
  CDibImage expected;
  if (!ReadBmp(argv[1], expected))
    return Fail("cannot read the expected BMP");
  const QImage actual(QString::fromLocal8Bit(argv[2]));
  if (actual.isNull())
    return Fail("cannot decode the actual picture");
  if (actual.width() != expected.Width() || actual.height() != expected.Height())
    return Fail("sizes differ");
  for (int y = 0; y < expected.Height(); ++y)
    for (int x = 0; x < expected.Width(); ++x) {
      const ColorValue c = expected.GetPixelColor(x, y);
      const QRgb p = actual.pixel(x, y);
      if (qRed(p) != RedOf(c) || qGreen(p) != GreenOf(c) || qBlue(p) != BlueOf(c))
        return Fail("pixels differ");
    }
  if (expected.m_paletteCount > 0) {
    if (actual.colorCount() != expected.m_paletteCount)
      return Fail("colour tables differ in size");
    for (int i = 0; i < expected.m_paletteCount; ++i)
      if (actual.color(i) != qRgb(expected.m_palette[i].rgbRed, expected.m_palette[i].rgbGreen,
                                  expected.m_palette[i].rgbBlue))
        return Fail("colour tables differ");
  }
  return 0;
}
