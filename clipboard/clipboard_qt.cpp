#include "clipboard/clipboard_qt.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QStringList>
#include <algorithm>
#include <array>
#include <memory>

#include "clipboard/bmp_file.h"
#include "clipboard/packed_dib.h"

namespace {

// Names under which programs offer a BMP. X11 targets are case-sensitive atoms, but writers
// disagree on the case, so they are compared without it.
constexpr std::array<const char *, 3> BmpMimeTypes = {"image/bmp", "image/x-bmp", "image/x-MS-bmp"};

const std::uint8_t *Bytes(const QByteArray &data) {
  return reinterpret_cast<const std::uint8_t *>(data.constData());
}

// A BMP file starts with "BM"; a bare packed bitmap starts with its header size, and "BM" would
// announce a header of 19778 bytes, which no writer makes.
bool ReadBmpBytes(const QByteArray &data, CDibImage &image) {
  const auto size = static_cast<std::size_t>(data.size());
  if (size >= 2 && data[0] == 'B' && data[1] == 'M')
    return ReadBmpFile(Bytes(data), size, image);
  return ReadPackedDib(Bytes(data), size, image);
}

// A decoded picture as a 32-bit image. Transparent pixels are blended onto white, which is what
// pasting such a picture into a paint program shows; left alone, they would mostly read as
// black.
bool ReadPicture(const QImage &picture, CDibImage &image) {
  const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
  if (argb.isNull())
    return false;
  DibInfoHeader header{};
  header.biSize = DibHeaderSize;
  header.biWidth = argb.width();
  header.biHeight = argb.height();
  header.biPlanes = 1;
  header.biBitCount = 32;
  if (!image.CreateFromHeader(header, nullptr, nullptr))
    return false;
  for (int y = 0; y < argb.height(); ++y) {
    const auto *in = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
    std::uint8_t *out = image.PixelAddress(0, y);
    for (int x = 0; x < argb.width(); ++x, out += 4) {
      const int alpha = qAlpha(in[x]);
      // Rounded to nearest: c × a / 255 + 255 × (255 - a) / 255.
      auto blend = [alpha](int c) {
        return static_cast<std::uint8_t>((c * alpha + 255 * (255 - alpha) + 127) / 255);
      };
      out[0] = blend(qBlue(in[x]));
      out[1] = blend(qGreen(in[x]));
      out[2] = blend(qRed(in[x]));
      out[3] = 0;
    }
  }
  return true;
}

std::uint32_t Crc32(const std::uint8_t *data, std::size_t size, std::uint32_t crc = 0) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void AppendBigEndian(QByteArray &out, std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  out.append(bytes, 4);
}

// A chunk: length, type, data, and the CRC over type and data.
void AppendChunk(QByteArray &out, const char *type, const QByteArray &data) {
  AppendBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const qsizetype typeAt = out.size();
  out.append(type, 4);
  out.append(data);
  AppendBigEndian(out, Crc32(Bytes(out) + typeAt, static_cast<std::size_t>(data.size()) + 4));
}

// The PNG palette's length: the bitmap's table, grown to the highest index a pixel uses (a
// bitmap reads indices beyond its table as black, a PNG reader may refuse them), and never
// longer than the depth allows.
int PaletteLength(const CDibImage &image) {
  const int limit = 1 << image.BitCount();
  int length = std::min(image.m_paletteCount, limit);
  if (length == limit)
    return length;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      length = std::max(length, image.GetPixelIndex(x, y) + 1);
  return length;
}

} // namespace

bool ReadMimeDib(const QMimeData &mime, CDibImage &image) {
  const QStringList formats = mime.formats();
  for (const char *type : BmpMimeTypes)
    for (const QString &format : formats)
      if (format.compare(QLatin1String(type), Qt::CaseInsensitive) == 0)
        return ReadBmpBytes(mime.data(format), image);
  // Other pictures in the order offered, but PNG first: it is lossless and every Linux
  // program that copies a picture offers it.
  QStringList pictures;
  const QList<QByteArray> decodable = QImageReader::supportedMimeTypes();
  for (const QString &format : formats) {
    if (!decodable.contains(format.toLatin1().toLower()))
      continue;
    if (format.compare(QLatin1String("image/png"), Qt::CaseInsensitive) == 0)
      pictures.prepend(format);
    else
      pictures.append(format);
  }
  for (const QString &format : pictures) {
    const QImage picture = QImage::fromData(mime.data(format));
    if (!picture.isNull())
      return ReadPicture(picture, image);
  }
  // A picture a Qt program in this process put there as an image rather than as bytes.
  if (!mime.hasImage())
    return false;
  const QImage picture = qvariant_cast<QImage>(mime.imageData());
  return !picture.isNull() && ReadPicture(picture, image);
}

QByteArray EncodePngFile(const CDibImage &image) {
  const int bitCount = image.BitCount();
  const bool indexed = bitCount == 1 || bitCount == 4 || bitCount == 8;
  if (!image.HasSection() || !(indexed || bitCount == 24 || bitCount == 32))
    return {};
  const int width = image.Width();
  const int height = image.Height();
  const qsizetype rowBytes = indexed ? (static_cast<qsizetype>(width) * bitCount + 7) / 8
                                     : static_cast<qsizetype>(width) * 3;

  QByteArray header;
  AppendBigEndian(header, static_cast<std::uint32_t>(width));
  AppendBigEndian(header, static_cast<std::uint32_t>(height));
  header.append(static_cast<char>(indexed ? bitCount : 8)); // bits per sample
  header.append(static_cast<char>(indexed ? 3 : 2));        // palette or RGB
  header.append(3, '\0'); // deflate, adaptive filtering, no interlace

  // Each row: filter type 0 (none), then the pixels, top row first. Indexed rows pack pixels
  // from the high bits down in both formats, so the bitmap's bytes serve as they are.
  QByteArray rows;
  rows.reserve((rowBytes + 1) * height);
  for (int y = 0; y < height; ++y) {
    rows.append('\0');
    const std::uint8_t *in = image.PixelAddress(0, y);
    if (indexed) {
      rows.append(reinterpret_cast<const char *>(in), rowBytes);
      continue;
    }
    const int step = bitCount / 8;
    for (int x = 0; x < width; ++x, in += step) {
      const char rgb[3] = {static_cast<char>(in[2]), static_cast<char>(in[1]),
                           static_cast<char>(in[0])};
      rows.append(rgb, 3);
    }
  }
  // qCompress gives a zlib stream, as PNG wants, behind a 4-byte length of its own.
  const QByteArray compressed = qCompress(rows, 9);
  if (compressed.size() <= 4 || compressed.size() - 4 > 0x7FFFFFFF) // a chunk's length limit
    return {};

  QByteArray png("\x89PNG\r\n\x1a\n", 8);
  AppendChunk(png, "IHDR", header);
  if (indexed) {
    const int entries = PaletteLength(image);
    QByteArray palette;
    for (int i = 0; i < entries; ++i) {
      const RgbQuad &entry = image.m_palette[i];
      const char rgb[3] = {static_cast<char>(entry.rgbRed), static_cast<char>(entry.rgbGreen),
                           static_cast<char>(entry.rgbBlue)};
      palette.append(rgb, 3);
    }
    AppendChunk(png, "PLTE", palette);
  }
  AppendChunk(png, "IDAT", compressed.mid(4));
  AppendChunk(png, "IEND", QByteArray());
  return png;
}

bool CQtClipboard::ReadDib(CDibImage &image) {
  QClipboard *clipboard = QGuiApplication::clipboard();
  const QMimeData *mime =
      clipboard != nullptr ? clipboard->mimeData(QClipboard::Clipboard) : nullptr;
  return mime != nullptr && ReadMimeDib(*mime, image);
}

bool CQtClipboard::WriteDib(const CDibImage &image) {
  QClipboard *clipboard = QGuiApplication::clipboard();
  const std::vector<std::uint8_t> bmp = EncodeBmpFile(image);
  const QByteArray png = EncodePngFile(image);
  if (clipboard == nullptr || bmp.empty() || png.isEmpty())
    return false;
  auto mime = std::make_unique<QMimeData>();
  mime->setData(QStringLiteral("image/bmp"), QByteArray(reinterpret_cast<const char *>(bmp.data()),
                                                        static_cast<qsizetype>(bmp.size())));
  mime->setData(QStringLiteral("image/png"), png);
  // The clipboard owns the data from here on.
  QMimeData *offered = mime.release();
  clipboard->setMimeData(offered, QClipboard::Clipboard);
  // When the window system refuses us the selection, the clipboard answers with someone
  // else's data.
  return clipboard->mimeData(QClipboard::Clipboard) == offered;
}
