// The Qt clipboard: what it takes from other programs, what it offers them, and that a failed
// write leaves the clipboard alone. Runs on the offscreen platform, where QClipboard is real
// but private to the process.
#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QMimeData>
#include <QTest>
#include <vector>

#include "codec/bmp_file.h"
#include "codec/packed_dib.h"
#include "clipboard/qt/clipboard_qt.h"

namespace {

QByteArray ToBytes(const std::vector<std::uint8_t> &bytes) {
  return QByteArray(reinterpret_cast<const char *>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

// A 24-bit picture with a different colour in every pixel.
void MakeGradient(CDibImage &image, int width, int height) {
  QVERIFY(image.Create(width, height, 24));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t *p = image.PixelAddress(x, y);
      p[0] = static_cast<std::uint8_t>(x * 37);
      p[1] = static_cast<std::uint8_t>(y * 53);
      p[2] = static_cast<std::uint8_t>(x * y + 11);
    }
}

// An indexed image of `bitCount` bits whose pixels run through the table.
void MakeIndexed(CDibImage &image, int bitCount, int width, int height, int colors = 0) {
  std::vector<RgbQuad> table(256);
  for (int i = 0; i < 256; ++i)
    table[i] = RgbQuad{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                       static_cast<std::uint8_t>(i * 7), 0};
  QVERIFY(image.Create(width, height, bitCount, table.data(), colors));
  const int count = 1 << bitCount;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.SetPixelIndex(x, y, (x + 3 * y) % count);
}

// Same size and the same colour in every pixel.
void ComparePixels(const CDibImage &expected, const QImage &actual) {
  QCOMPARE(actual.width(), expected.Width());
  QCOMPARE(actual.height(), expected.Height());
  for (int y = 0; y < expected.Height(); ++y)
    for (int x = 0; x < expected.Width(); ++x) {
      const ColorValue c = expected.GetPixelColor(x, y);
      const QRgb p = actual.pixel(x, y);
      if (qRed(p) != RedOf(c) || qGreen(p) != GreenOf(c) || qBlue(p) != BlueOf(c) ||
          qAlpha(p) != 255)
        QFAIL(qPrintable(QStringLiteral("pixel %1,%2 differs").arg(x).arg(y)));
    }
}

void CompareImages(const CDibImage &expected, const CDibImage &actual) {
  QCOMPARE(actual.Width(), expected.Width());
  QCOMPARE(actual.Height(), expected.Height());
  QCOMPARE(actual.BitCount(), expected.BitCount());
  QCOMPARE(actual.m_paletteCount, expected.m_paletteCount);
  QVERIFY(std::memcmp(actual.m_palette, expected.m_palette,
                      sizeof(RgbQuad) * static_cast<std::size_t>(expected.m_paletteCount)) == 0);
  QCOMPARE(actual.RowsSize(), expected.RowsSize());
  QVERIFY(std::memcmp(actual.m_bits, expected.m_bits, expected.RowsSize()) == 0);
}

QByteArray EncodeWithQt(const QImage &image, const char *format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  return writer.write(image) ? bytes : QByteArray();
}

} // namespace

class ClipboardQtTest : public QObject {
  Q_OBJECT

private slots:
  void init() { QGuiApplication::clipboard()->clear(); }

  // Every name programs use for a BMP, as a file or as a bare packed bitmap, reads the exact
  // bitmap through the codec, even when a PNG is offered too.
  void readsBmpUnderEveryName_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("fileHeader");
    for (const char *type : {"image/bmp", "image/x-bmp", "image/x-MS-bmp", "IMAGE/BMP"}) {
      QTest::newRow(type) << QString::fromLatin1(type) << true;
      QTest::newRow((QByteArray(type) + " packed").constData())
          << QString::fromLatin1(type) << false;
    }
  }
  void readsBmpUnderEveryName() {
    QFETCH(QString, type);
    QFETCH(bool, fileHeader);
    CDibImage source;
    MakeIndexed(source, 4, 9, 5);
    QMimeData mime;
    if (fileHeader) {
      mime.setData(type, ToBytes(EncodeBmpFile(source)));
    } else {
      std::vector<std::uint8_t> block(PackedDibSize(source));
      WritePackedDib(source, block.data());
      mime.setData(type, ToBytes(block));
    }
    // A PNG of another picture beside it must not be preferred.
    mime.setImageData(QImage(3, 3, QImage::Format_RGB32));
    CDibImage read;
    QVERIFY(ReadMimeDib(mime, read));
    CompareImages(source, read);
  }

  // A BMP our codec refuses is refused: no silent fallback to a picture of another format.
  void refusedBmpFailsWithoutFallback() {
    CDibImage source;
    MakeGradient(source, 4, 4);
    QByteArray bmp = ToBytes(EncodeBmpFile(source));
    bmp.chop(5); // rows cut short
    QMimeData mime;
    mime.setData(QStringLiteral("image/bmp"), bmp);
    mime.setData(QStringLiteral("image/png"),
                 EncodeWithQt(QImage(2, 2, QImage::Format_RGB32), "png"));
    CDibImage read;
    QVERIFY(!ReadMimeDib(mime, read));
    QVERIFY(!read.HasSection());
  }

  // Any other picture becomes an image with transparency blended onto white by one rule: a PNG
  // through our codec (24 bits, as a PNG file reads), other formats through Qt (32 bits).
  void decodesOtherPicturesOntoWhite() {
    QImage picture(4, 1, QImage::Format_ARGB32);
    picture.setPixel(0, 0, qRgba(10, 20, 30, 255)); // opaque
    picture.setPixel(1, 0, qRgba(0, 0, 0, 0));      // transparent black
    picture.setPixel(2, 0, qRgba(255, 0, 0, 128));  // half-transparent red
    picture.setPixel(3, 0, qRgba(0, 0, 255, 1));
    for (const char *format : {"png", "ico"}) {
      QMimeData mime;
      const QByteArray bytes = EncodeWithQt(picture, format);
      QVERIFY2(!bytes.isEmpty(), format);
      mime.setData(QLatin1String(format) == QLatin1String("png")
                       ? QStringLiteral("image/png")
                       : QStringLiteral("image/vnd.microsoft.icon"),
                   bytes);
      CDibImage read;
      QVERIFY2(ReadMimeDib(mime, read), format);
      QCOMPARE(read.BitCount(), QLatin1String(format) == QLatin1String("png") ? 24 : 32);
      QCOMPARE(read.Width(), 4);
      QCOMPARE(read.GetPixelColor(0, 0), RgbColor(10, 20, 30));
      QCOMPARE(read.GetPixelColor(1, 0), RgbColor(255, 255, 255));
      QCOMPARE(read.GetPixelColor(2, 0), RgbColor(255, 127, 127));
      QCOMPARE(read.GetPixelColor(3, 0), RgbColor(254, 254, 255));
    }
  }

  // Qt's readers allocate at most 128 MiB per image unless told otherwise, which refused
  // pictures far below our pixel limit: a 6000 × 6000 colour JPEG needs 144 MB. A picture that
  // announces more than the limit is refused before anything is decoded, even where Qt would
  // allocate it (17000 × 17000 gray is only 289 MB).
  void picturesUpToThePixelLimit() {
    QImage large(6000, 6000, QImage::Format_RGB32);
    large.fill(qRgb(200, 100, 50));
    QMimeData mime;
    mime.setData(QStringLiteral("image/jpeg"), EncodeWithQt(large, "jpeg"));
    CDibImage read;
    QVERIFY(ReadMimeDib(mime, read));
    QCOMPARE(read.Width(), 6000);
    QCOMPARE(read.Height(), 6000);

    QImage small(64, 64, QImage::Format_Grayscale8);
    small.fill(128);
    QByteArray bomb = EncodeWithQt(small, "jpeg");
    const qsizetype frame = bomb.indexOf(QByteArray("\xFF\xC0", 2)); // baseline frame header
    QVERIFY(frame > 0);
    // Marker, length, precision, then height and width, big-endian.
    for (qsizetype at : {frame + 5, frame + 7}) {
      bomb[at] = static_cast<char>(17000 >> 8);
      bomb[at + 1] = static_cast<char>(17000 & 0xFF);
    }
    QMimeData huge;
    huge.setData(QStringLiteral("image/jpeg"), bomb);
    CDibImage refused;
    QVERIFY(!ReadMimeDib(huge, refused));
    QVERIFY(!refused.HasSection());
  }

  void textOnlyAndGarbageFail() {
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    CDibImage read;
    QVERIFY(!ReadMimeDib(text, read));
    QMimeData garbage;
    garbage.setData(QStringLiteral("image/png"), QByteArray("\x89PNG not really", 15));
    QVERIFY(!ReadMimeDib(garbage, read));
    QVERIFY(!read.HasSection());
  }

  // The PNG offered beside the BMP: same pixels, and for indexed images the same depth and
  // colour table, so a paste keeps the converted palette.
  void pngKeepsPixelsAndPalette_data() {
    QTest::addColumn<int>("bitCount");
    QTest::addColumn<int>("width");
    QTest::newRow("1 bpp, odd width") << 1 << 13;
    QTest::newRow("4 bpp, odd width") << 4 << 7;
    QTest::newRow("8 bpp") << 8 << 5;
    QTest::newRow("24 bpp") << 24 << 6;
  }
  void pngKeepsPixelsAndPalette() {
    QFETCH(int, bitCount);
    QFETCH(int, width);
    CDibImage image;
    if (bitCount == 24)
      MakeGradient(image, width, 4);
    else
      MakeIndexed(image, bitCount, width, 4);
    const QByteArray png = EncodePictureBytes(image, PictureEncoding::Png);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(png[25], char(bitCount == 24 ? 2 : 3));        // IHDR colour type: RGB or palette
    QCOMPARE(png[24], char(bitCount == 24 ? 8 : bitCount)); // bits per sample
    const QImage decoded = QImage::fromData(png, "png");
    QVERIFY(!decoded.isNull());
    ComparePixels(image, decoded);
    if (bitCount != 24) {
      QCOMPARE(decoded.colorCount(), image.m_paletteCount);
      for (int i = 0; i < image.m_paletteCount; ++i)
        QCOMPARE(decoded.color(i), qRgb(image.m_palette[i].rgbRed, image.m_palette[i].rgbGreen,
                                        image.m_palette[i].rgbBlue));
    }
  }

  // A table shorter than the indices in use: the PNG palette grows with black entries, which
  // is how the bitmap itself reads those pixels.
  void pngPaletteCoversEveryIndex() {
    CDibImage image;
    MakeIndexed(image, 8, 6, 2, 3);
    const QImage decoded = QImage::fromData(EncodePictureBytes(image, PictureEncoding::Png), "png");
    QVERIFY(!decoded.isNull());
    QVERIFY(decoded.colorCount() >= 9);
    ComparePixels(image, decoded);
  }

  // Write then read through the process's real clipboard: image/bmp carries the codec's exact
  // bytes, image/png the same picture, and reading it back gives the same image.
  void writeOffersBmpAndPng() {
    CDibImage image;
    MakeIndexed(image, 4, 11, 3);
    CQtClipboard clipboard;
    QVERIFY(clipboard.WriteDib(image));
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    QVERIFY(mime != nullptr);
    QCOMPARE(mime->data(QStringLiteral("image/bmp")), ToBytes(EncodeBmpFile(image)));
    ComparePixels(image, QImage::fromData(mime->data(QStringLiteral("image/png")), "png"));
    CDibImage read;
    QVERIFY(clipboard.ReadDib(read));
    CompareImages(image, read);
  }

  void failedWriteLeavesClipboardAlone() {
    QGuiApplication::clipboard()->setText(QStringLiteral("keep me"));
    CDibImage empty; // no section
    CQtClipboard clipboard;
    QVERIFY(!clipboard.WriteDib(empty));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("keep me"));
    CDibImage read;
    QVERIFY(!clipboard.ReadDib(read));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("keep me"));
  }
};

QTEST_MAIN(ClipboardQtTest)
#include "clipboard_qt_test.moc"
