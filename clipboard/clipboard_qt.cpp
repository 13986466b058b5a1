#include "clipboard/clipboard_qt.h"

#include <QBuffer>
#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "clipboard/bmp_file.h"
#include "clipboard/packed_dib.h"
#include "clipboard/png_file.h"
#include "clipboard/x11/x11_selection.h"

namespace {

// Names under which programs offer a BMP. X11 targets are case-sensitive atoms, but writers
// disagree on the case, so they are compared without it.
constexpr std::array<const char *, 3> BmpMimeTypes = {"image/bmp", "image/x-bmp", "image/x-MS-bmp"};
const QString PngMimeType = QStringLiteral("image/png");
const QString BmpMimeType = QStringLiteral("image/bmp");

// Pictures in other formats are held to the PNG reader's limit: a compressed file can promise
// gigabytes, so the size is checked before anything is decoded. Qt's readers refuse to
// allocate more than this many MiB for one image: enough for the largest picture we take in the
// widest format Qt decodes into (8 bytes per pixel).
constexpr int QtAllocationLimitMiB = static_cast<int>((MaxPngPixels * 8) >> 20);

bool IsBmpType(const QString &type) {
  return std::any_of(BmpMimeTypes.begin(), BmpMimeTypes.end(), [&type](const char *bmp) {
    return type.compare(QLatin1String(bmp), Qt::CaseInsensitive) == 0;
  });
}

// A BMP file starts with "BM"; a bare packed bitmap starts with its header size, and "BM" would
// announce a header of 19778 bytes, which no writer makes.
bool ReadBmpBytes(const std::uint8_t *data, std::size_t size, CDibImage &image) {
  if (size >= 2 && data[0] == 'B' && data[1] == 'M')
    return ReadBmpFile(data, size, image);
  return ReadPackedDib(data, size, image);
}

// A decoded picture as a 32-bit image. Transparent pixels are blended onto white, which is what
// pasting such a picture into a paint program shows; left alone, they would mostly read as
// black. The rule works on the stored (not premultiplied) values.
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

// A picture in a format Qt reads, refused before decoding when it is too large.
bool ReadQtPicture(const std::uint8_t *data, std::size_t size, CDibImage &image) {
  QImageReader::setAllocationLimit(QtAllocationLimitMiB);
  const QByteArray bytes =
      QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  auto tooLarge = [](QSize s) {
    return static_cast<std::uint64_t>(s.width()) * static_cast<std::uint64_t>(s.height()) >
           MaxPngPixels;
  };
  // Readers that cannot tell the size beforehand are held by the allocation limit, and the
  // decoded size is checked again.
  const QSize announced = reader.size();
  if (announced.isValid() && tooLarge(announced))
    return false;
  const QImage picture = reader.read();
  return !picture.isNull() && !tooLarge(picture.size()) && ReadPicture(picture, image);
}

// The PNG served beside a BMP, made from the BMP: it holds the result exactly.
X11Bytes MakePngFromBmp(const X11Bytes &bmp) {
  X11Bytes png;
  CDibImage result;
  if (!ReadBmpFile(bmp.data(), bmp.size(), result) ||
      !WritePng(result, [&png](const std::uint8_t *data, std::size_t size) {
        png.insert(png.end(), data, data + size);
        return true;
      }))
    png.clear();
  return png;
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

bool DecodePicture(const QString &type, const std::uint8_t *data, std::size_t size,
                   CDibImage &image) {
  if (IsBmpType(type))
    return ReadBmpBytes(data, size, image);
  if (type.compare(PngMimeType, Qt::CaseInsensitive) == 0)
    return ReadPngBytes(data, size, image);
  return ReadQtPicture(data, size, image);
}

bool ReadMimeDib(const QMimeData &mime, CDibImage &image) {
  const QString type = ChoosePictureType(mime.formats(), QImageReader::supportedMimeTypes());
  if (!type.isEmpty()) {
    const QByteArray bytes = mime.data(type);
    return DecodePicture(type, reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                         static_cast<std::size_t>(bytes.size()), image);
  }
  // A picture a Qt program in this process put there as an image rather than as bytes.
  if (!mime.hasImage())
    return false;
  const QImage picture = qvariant_cast<QImage>(mime.imageData());
  return !picture.isNull() && ReadPicture(picture, image);
}

QByteArray EncodePngFile(const CDibImage &image) {
  QByteArray png;
  const bool written = WritePng(image, [&png](const std::uint8_t *data, std::size_t size) {
    png.append(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    return true;
  });
  return written ? png : QByteArray();
}

QByteArray EncodeBmpBytes(const CDibImage &image) {
  BmpFileParts parts;
  if (!DescribeBmpFile(image, parts))
    return {};
  QByteArray file(static_cast<qsizetype>(BmpFileHeaderSize + parts.headSize + parts.rowsSize),
                  Qt::Uninitialized);
  auto *out = reinterpret_cast<std::uint8_t *>(file.data());
  std::memcpy(out, parts.fileHeader, BmpFileHeaderSize);
  std::memcpy(out + BmpFileHeaderSize, parts.head, parts.headSize);
  std::memcpy(out + BmpFileHeaderSize + parts.headSize, parts.rows, parts.rowsSize);
  return file;
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
      if (ReadBmpFile(reinterpret_cast<const std::uint8_t *>(m_bmp.constData()),
                      static_cast<std::size_t>(m_bmp.size()), result))
        m_png = EncodePngFile(result);
    } catch (const std::bad_alloc &) {
      m_png.clear();
    }
  }
  return m_png.isEmpty() ? QVariant() : QVariant(m_png);
}

CQtClipboard::CQtClipboard() = default;

CQtClipboard::~CQtClipboard() = default;

CX11Selection *CQtClipboard::X11() {
  if (!m_bX11Tried && QGuiApplication::platformName() == QLatin1String("xcb")) {
    m_bX11Tried = true;
    auto x11 = std::make_unique<CX11Selection>(qgetenv("DISPLAY").constData());
    if (x11->IsOpen()) {
      m_pX11 = std::move(x11);
      m_pContext = std::make_unique<QObject>();
      m_pNotifier =
          new QSocketNotifier(m_pX11->FileDescriptor(), QSocketNotifier::Read, m_pContext.get());
      QObject::connect(m_pNotifier, &QSocketNotifier::activated, m_pContext.get(),
                       [this] { Pump(); });
      m_pTimer = new QTimer(m_pContext.get());
      m_pTimer->setSingleShot(true);
      QObject::connect(m_pTimer, &QTimer::timeout, m_pContext.get(), [this] { Pump(); });
    }
  }
  return m_pX11.get();
}

void CQtClipboard::Pump() {
  m_pX11->Dispatch();
  if (!m_pX11->IsOpen()) {
    m_pNotifier->setEnabled(false);
    m_pTimer->stop();
    return;
  }
  if (const auto next = m_pX11->NextDeadline()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
    m_pTimer->start(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        left.count(), 0, std::numeric_limits<int>::max())));
  } else {
    m_pTimer->stop();
  }
}

bool CQtClipboard::BeginFetch(std::function<void()> fetched) {
  CX11Selection *x11 = X11();
  // Our own result is at hand without asking anybody.
  if (x11 == nullptr || x11->Serving())
    return false;
  const QList<QByteArray> decodable = QImageReader::supportedMimeTypes();
  auto choose = [decodable](const std::vector<std::string> &offered) {
    QStringList types;
    for (const std::string &name : offered)
      types.append(QString::fromStdString(name));
    return ChoosePictureType(types, decodable).toStdString();
  };
  const unsigned fetch = ++m_nFetch;
  m_bFetched = false;
  // `fetched` runs from the event loop, not from inside the connection's dispatch, so that
  // whatever it does with the clipboard finds the connection idle.
  x11->StartRead(choose, ClipboardReadTimeout, ClipboardReadLimit, [this, fetch, fetched] {
    QMetaObject::invokeMethod(
        m_pContext.get(),
        [this, fetch, fetched] {
          if (fetch != m_nFetch)
            return;
          m_bFetched = true;
          fetched();
        },
        Qt::QueuedConnection);
  });
  Pump();
  return true;
}

void CQtClipboard::CancelFetch() {
  ++m_nFetch;
  m_bFetched = false;
  if (m_pX11) {
    m_pX11->CancelRead();
    m_pX11->ReleaseReadData();
    Pump();
  }
}

bool CQtClipboard::ReadDib(CDibImage &image) {
  if (CX11Selection *x11 = X11()) {
    if (const X11Bytes *own = x11->ServedBmp())
      return ReadBmpFile(own->data(), own->size(), image);
    if (!m_bFetched) {
      // Nobody fetched first: wait here, still within the deadline.
      x11->StartRead(
          [](const std::vector<std::string> &offered) {
            QStringList types;
            for (const std::string &name : offered)
              types.append(QString::fromStdString(name));
            return ChoosePictureType(types, QImageReader::supportedMimeTypes()).toStdString();
          },
          ClipboardReadTimeout, ClipboardReadLimit, nullptr);
      x11->RunUntil([x11] { return x11->ReadStatus() != X11ReadStatus::Running; },
                    std::chrono::steady_clock::time_point::max());
    }
    m_bFetched = false;
    const bool read = x11->ReadStatus() == X11ReadStatus::Done &&
                      DecodePicture(QString::fromStdString(x11->ReadTarget()), x11->ReadData(),
                                    x11->ReadSize(), image);
    x11->ReleaseReadData();
    Pump();
    return read;
  }
  QClipboard *clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr)
    return false;
  const QMimeData *mime = clipboard->mimeData(QClipboard::Clipboard);
  return mime != nullptr && ReadMimeDib(*mime, image);
}

bool CQtClipboard::WriteDib(const CDibImage &image) {
  if (CX11Selection *x11 = X11()) {
    X11Bytes bmp = EncodeBmpFile(image);
    if (bmp.empty())
      return false;
    const bool served = x11->Serve(std::move(bmp), MakePngFromBmp,
                                   std::chrono::steady_clock::now() + std::chrono::seconds(2));
    Pump();
    return served;
  }
  QClipboard *clipboard = QGuiApplication::clipboard();
  QByteArray bmp = EncodeBmpBytes(image);
  if (clipboard == nullptr || bmp.isEmpty())
    return false;
  // The clipboard owns the data from here on.
  auto *offered = new CResultMimeData(std::move(bmp));
  clipboard->setMimeData(offered, QClipboard::Clipboard);
  // When the window system refuses us the selection, the clipboard answers with someone
  // else's data.
  return clipboard->mimeData(QClipboard::Clipboard) == offered;
}

void CQtClipboard::KeepResult(const QString &keeperPath,
                              std::chrono::steady_clock::time_point deadline) {
  if (!m_pX11 || !m_pX11->Serving())
    return;
  CancelFetch();
  const auto now = std::chrono::steady_clock::now();
  if (m_pX11->SaveToManager(std::min(deadline, now + ClipboardSaveTimeout)) == X11SaveStatus::Saved)
    return;
  // Without a manager, or with one that did not save in time, the keeper takes over, unless
  // another program has taken the clipboard meanwhile.
  const X11Bytes *bmp = m_pX11->ServedBmp();
  if (bmp == nullptr)
    return;
  if (keeperPath.isEmpty())
    qWarning("vantoly: vantoly-keeper is not installed; the result goes with the program");
  else if (!StartKeeper(keeperPath.toStdString(), m_pX11->DisplayName(), *bmp, deadline))
    qWarning("vantoly: %s did not take the clipboard; the result goes with the program",
             qPrintable(keeperPath));
}
