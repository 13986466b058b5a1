#include "clipboard/qt/clipboard_qt.h"

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
#include <utility>

#include "bitmap/row_progress.h"
#include "codec/bmp_file.h"
#include "codec/picture.h"
#include "clipboard/x11/x11_selection.h"

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

// The PNG served beside a BMP.
X11Bytes MakePngFromBmp(const X11Bytes &bmp) { return PngFromBmpFile(bmp.data(), bmp.size()); }

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
      const std::vector<std::uint8_t> png =
          PngFromBmpFile(reinterpret_cast<const std::uint8_t *>(m_bmp.constData()),
                         static_cast<std::size_t>(m_bmp.size()));
      m_png = QByteArray(reinterpret_cast<const char *>(png.data()),
                         static_cast<qsizetype>(png.size()));
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
  if (x11 == nullptr) {
    // QClipboard answers at once (it waits for the owner itself). The bytes are taken here, on
    // this thread, so that ReadDib may decode them on another.
    m_fetchedBytes.clear();
    m_fetchedType.clear();
    if (const QClipboard *clipboard = QGuiApplication::clipboard())
      if (const QMimeData *mime = clipboard->mimeData(QClipboard::Clipboard)) {
        m_fetchedType = ChoosePictureType(mime->formats(), QImageReader::supportedMimeTypes());
        if (!m_fetchedType.isEmpty())
          m_fetchedBytes = mime->data(m_fetchedType);
      }
    return false;
  }
  // Our own result is at hand without asking anybody.
  if (x11->Serving())
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
      return DecodePicture(own->data(), own->size(), image);
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
    const bool fetched = std::exchange(m_bFetched, false);
    const bool read = x11->ReadStatus() == X11ReadStatus::Done &&
                      DecodeOffered(QString::fromStdString(x11->ReadTarget()), x11->ReadData(),
                                    x11->ReadSize(), image);
    // Fetched bytes may be decoded on another thread (ReadsWhileConverting), which must leave
    // the timer and the notifier alone; the fetch left nothing to dispatch anyway.
    x11->ReleaseReadData();
    if (!fetched)
      Pump();
    return read;
  }
  if (!m_fetchedType.isEmpty()) {
    const QString type = std::exchange(m_fetchedType, QString());
    const QByteArray bytes = std::exchange(m_fetchedBytes, QByteArray());
    return DecodeOffered(type, reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                         static_cast<std::size_t>(bytes.size()), image);
  }
  QClipboard *clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr)
    return false;
  const QMimeData *mime = clipboard->mimeData(QClipboard::Clipboard);
  return mime != nullptr && ReadMimeDib(*mime, image);
}

bool CQtClipboard::ReadsWhileConverting() const {
  if (m_pX11)
    return m_bFetched && m_pX11->ReadStatus() == X11ReadStatus::Done &&
           SniffPicture(m_pX11->ReadData(), m_pX11->ReadSize()) == PictureFormat::Png;
  return SniffPicture(reinterpret_cast<const std::uint8_t *>(m_fetchedBytes.constData()),
                      static_cast<std::size_t>(m_fetchedBytes.size())) == PictureFormat::Png;
}

bool CQtClipboard::WriteDib(const CDibImage &image) {
  // Whatever decodes or converts into the image is done once it is complete, so from here on
  // this thread alone talks to the display again.
  if (!WaitForComplete(image))
    return false;
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
