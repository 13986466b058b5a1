#include "clipboard/qt/clipboard_qt.h"

#include <QBuffer>
#include <QClipboard>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "clipboard/formats/picture.h"
#include "clipboard/qt/clipboard_x11.h"

namespace {

// Names under which programs offer a BMP. X11 targets are case-sensitive atoms, but writers
// disagree on the case, so they are compared without it.
constexpr std::array<const char *, 3> BmpMimeTypes = {"image/bmp", "image/x-bmp", "image/x-MS-bmp"};
const QString PngMimeType = QStringLiteral("image/png");
const QString BmpMimeType = QStringLiteral("image/bmp");

// Qt's readers refuse to allocate more than this many MiB for one image: enough for the
// largest picture we take in the widest format Qt decodes into (8 bytes per pixel). A
// compressed file can promise gigabytes, so the size is also checked before decoding.
constexpr int QtAllocationLimitMiB = static_cast<int>((MaxReadPixels * 8) >> 20);

bool IsBmpType(const QString &type) {
  return std::any_of(BmpMimeTypes.begin(), BmpMimeTypes.end(), [&type](const char *bmp) {
    return type.compare(QLatin1String(bmp), Qt::CaseInsensitive) == 0;
  });
}

// A decoded picture, through the picture module's import.
bool ReadPicture(const QImage &picture, CDibImage &image) {
  const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
  return !argb.isNull() &&
         ImportArgbPicture(
             argb.width(), argb.height(),
             [&argb](int y) {
               return reinterpret_cast<const std::uint32_t *>(argb.constScanLine(y));
             },
             image);
}

// A picture in a format Qt reads, refused before decoding when it is too large.
bool ReadQtPicture(const std::uint8_t *data, std::size_t size, CDibImage &image) {
  QImageReader::setAllocationLimit(QtAllocationLimitMiB);
  const QByteArray bytes =
      QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  // Readers that cannot tell the size beforehand are held by the allocation limit, and the
  // import checks the decoded size again.
  const QSize announced = reader.size();
  if (announced.isValid() && !WithinReadLimits(static_cast<std::uint64_t>(announced.width()),
                                               static_cast<std::uint64_t>(announced.height())))
    return false;
  const QImage picture = reader.read();
  return !picture.isNull() && ReadPicture(picture, image);
}

} // namespace

QString ChoosePictureType(const QStringList &offered, const QList<QByteArray> &decodable) {
  for (const char *bmp : BmpMimeTypes)
    for (const QString &type : offered)
      if (type.compare(QLatin1String(bmp), Qt::CaseInsensitive) == 0)
        return type;
  // PNG next: it is lossless and every Linux program that copies a picture offers it. Then
  // the first other picture in the order offered.
  QString other;
  for (const QString &type : offered) {
    if (type.compare(PngMimeType, Qt::CaseInsensitive) == 0)
      return type;
    if (other.isEmpty() && type.startsWith(QLatin1String("image/"), Qt::CaseInsensitive) &&
        decodable.contains(type.toLatin1().toLower()))
      other = type;
  }
  return other;
}

bool DecodeOffered(const QString &type, const std::uint8_t *data, std::size_t size,
                   CDibImage &image) {
  // Our own formats are told by their bytes; the rest is left to Qt's readers.
  if (IsBmpType(type) || type.compare(PngMimeType, Qt::CaseInsensitive) == 0)
    return DecodePicture(data, size, image);
  return ReadQtPicture(data, size, image);
}

bool ReadMimeDib(const QMimeData &mime, CDibImage &image) {
  const QString type = ChoosePictureType(mime.formats(), QImageReader::supportedMimeTypes());
  if (!type.isEmpty()) {
    const QByteArray bytes = mime.data(type);
    return DecodeOffered(type, reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                         static_cast<std::size_t>(bytes.size()), image);
  }
  // A picture a Qt program in this process put there as an image rather than as bytes.
  if (!mime.hasImage())
    return false;
  const QImage picture = qvariant_cast<QImage>(mime.imageData());
  return !picture.isNull() && ReadPicture(picture, image);
}

QByteArray EncodePictureBytes(const CDibImage &image, PictureEncoding encoding) {
  QByteArray bytes;
  const bool written =
      EncodePicture(image, encoding, [&bytes](const std::uint8_t *data, std::size_t size) {
        bytes.append(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
        return true;
      });
  return written ? bytes : QByteArray();
}

CResultMimeData::CResultMimeData(QByteArray bmp) : m_bmp(std::move(bmp)) {}

QStringList CResultMimeData::formats() const { return {BmpMimeType, PngMimeType}; }

bool CResultMimeData::hasFormat(const QString &mimeType) const {
  return mimeType == BmpMimeType || mimeType == PngMimeType;
}

QVariant CResultMimeData::retrieveData(const QString &mimeType, QMetaType type) const {
  Q_UNUSED(type);
  if (mimeType == BmpMimeType)
    return m_bmp;
  if (mimeType != PngMimeType)
    return {};
  if (!m_bPngMade) {
    // Made once, from the BMP: it holds the result exactly. This runs inside Qt's event
    // handling, where an exception must not arrive: without memory the paste gets nothing.
    m_bPngMade = true;
    try {
      CDibImage result;
      if (DecodePicture(reinterpret_cast<const std::uint8_t *>(m_bmp.constData()),
                        static_cast<std::size_t>(m_bmp.size()), result))
        m_png = EncodePictureBytes(result, PictureEncoding::Png);
    } catch (const std::bad_alloc &) {
      m_png.clear();
    }
  }
  return m_png.isEmpty() ? QVariant() : QVariant(m_png);
}

bool CQtClipboard::ReadDib(CDibImage &image) {
  QClipboard *clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr)
    return false;
  // Our own result is at hand without asking the window system.
  if (QGuiApplication::platformName() == QLatin1String("xcb") && !clipboard->ownsClipboard())
    return ReadX11(image);
  const QMimeData *mime = clipboard->mimeData(QClipboard::Clipboard);
  return mime != nullptr && ReadMimeDib(*mime, image);
}

bool CQtClipboard::ReadX11(CDibImage &image) {
  const QList<QByteArray> decodable = QImageReader::supportedMimeTypes();
  auto choose = [&decodable](const std::vector<std::string> &offered) {
    QStringList types;
    for (const std::string &name : offered)
      types.append(QString::fromStdString(name));
    return ChoosePictureType(types, decodable).toStdString();
  };
  QEventLoop loop;
  CX11SelectionRead read(qEnvironmentVariable("DISPLAY").toStdString(), choose,
                         ClipboardReadTimeout);
  m_pRead = &read;
  read.Start([&loop] {
    QMetaObject::invokeMethod(
        &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  // The window keeps painting and taking keys meanwhile: Esc can end the program.
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  loop.exec();
  QGuiApplication::restoreOverrideCursor();
  read.Join();
  m_pRead = nullptr;
  if (read.Status() == X11ReadStatus::NoDisplay) {
    // Qt was pointed at another display than DISPLAY names (its -display option): ask Qt.
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    return mime != nullptr && ReadMimeDib(*mime, image);
  }
  return read.Status() == X11ReadStatus::Done &&
         DecodeOffered(QString::fromStdString(read.Target()), read.Data(), read.Size(), image);
}

void CQtClipboard::CancelRead() {
  if (m_pRead != nullptr)
    m_pRead->Cancel();
}

bool CQtClipboard::WriteDib(const CDibImage &image) {
  QClipboard *clipboard = QGuiApplication::clipboard();
  QByteArray bmp = EncodePictureBytes(image, PictureEncoding::Bmp);
  if (clipboard == nullptr || bmp.isEmpty())
    return false;
  // The clipboard owns the data from here on.
  auto *offered = new CResultMimeData(std::move(bmp));
  clipboard->setMimeData(offered, QClipboard::Clipboard);
  // When the window system refuses us the selection, the clipboard answers with someone
  // else's data.
  return clipboard->mimeData(QClipboard::Clipboard) == offered;
}
