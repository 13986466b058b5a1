#include "clipboard/qt/clipboard_qt.h"

#include <QBuffer>
#include <QClipboard>
#include <QCursor>
#include <QEventLoop>
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
#include "clipboard/x11/x11_keeper.h"
#include "clipboard/x11/x11_selection.h"
#include "codec/bmp_file.h"
#include "codec/picture.h"
#include "posix/poll_loop.h"

namespace {

// Names under which programs offer a BMP. X11 targets are case-sensitive atoms, but writers
// disagree on the case, so they are compared without it.
constexpr std::array<const char *, 3> BmpMimeTypes = {"image/bmp", "image/x-bmp", "image/x-MS-bmp"};
const QString PngMimeType = QStringLiteral("image/png");
const QString BmpMimeType = QStringLiteral("image/bmp");
const QString MarkerMimeType = QString::fromLatin1(ResultMarkerType);

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

// Bytes shared with whatever serves them.
X11Value ServedBytes(const CResultPng::Bytes &bytes) {
  return bytes ? X11Value{std::shared_ptr<const std::uint8_t>(bytes, bytes->data()), bytes->size()}
               : X11Value{};
}

// The PNG's thread in a poll loop: hands the PNG over once it is made.
class CPngSource : public CPollSource {
public:
  CPngSource(const CResultPng &png, std::function<void()> hand)
      : m_png(png), m_hand(std::move(hand)) {}
  int PollDescriptor() const override { return m_png.ReadyDescriptor(); }
  void Dispatch() override {
    if (m_png.Ready())
      m_hand();
  }

private:
  const CResultPng &m_png;
  std::function<void()> m_hand;
};

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

CResultMimeData::CResultMimeData(QByteArray bmp, std::shared_future<CResultPng::Bytes> png)
    : m_bmp(std::move(bmp)), m_pngMade(std::move(png)) {}

QStringList CResultMimeData::formats() const { return {BmpMimeType, PngMimeType, MarkerMimeType}; }

bool CResultMimeData::hasFormat(const QString &mimeType) const {
  return mimeType == BmpMimeType || mimeType == PngMimeType || mimeType == MarkerMimeType;
}

QVariant CResultMimeData::retrieveData(const QString &mimeType, QMetaType type) const {
  Q_UNUSED(type);
  if (mimeType == BmpMimeType)
    return m_bmp;
  if (mimeType == MarkerMimeType)
    return QByteArray();
  if (mimeType != PngMimeType)
    return {};
  if (!m_bPngTaken && m_pngMade.valid()) {
    // Made on the clipboard's thread (CResultPng), which may still be at it: a paste waits for
    // it rather than going without. This runs inside Qt's event handling, where an exception
    // must not arrive: without memory the paste gets nothing.
    m_bPngTaken = true;
    try {
      if (const CResultPng::Bytes png = m_pngMade.get())
        m_png = QByteArray(reinterpret_cast<const char *>(png->data()),
                           static_cast<qsizetype>(png->size()));
    } catch (const std::bad_alloc &) {
      m_png.clear();
    }
  }
  return m_png.isEmpty() ? QVariant() : QVariant(m_png);
}

CQtClipboard::CQtClipboard() = default;

CQtClipboard::~CQtClipboard() = default;

QObject *CQtClipboard::Context() {
  if (!m_pContext)
    m_pContext = std::make_unique<QObject>();
  return m_pContext.get();
}

CX11Selection *CQtClipboard::X11() {
  if (!m_bX11Tried && QGuiApplication::platformName() == QLatin1String("xcb")) {
    m_bX11Tried = true;
    auto x11 = std::make_unique<CX11Selection>(qgetenv("DISPLAY").constData());
    if (x11->IsOpen()) {
      m_pX11 = std::move(x11);
      m_pNotifier = new QSocketNotifier(m_pX11->FileDescriptor(), QSocketNotifier::Read, Context());
      QObject::connect(m_pNotifier, &QSocketNotifier::activated, Context(), [this] { Pump(); });
      m_pTimer = new QTimer(Context());
      m_pTimer->setSingleShot(true);
      QObject::connect(m_pTimer, &QTimer::timeout, Context(), [this] { Pump(); });
    }
  }
  return m_pX11.get();
}

void CQtClipboard::HandPng() {
  const CResultPng::Bytes png = m_png.Join();
  if (m_pX11) {
    m_pX11->SetPng(ServedBytes(png));
    Pump();
  }
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
    if (const X11Value *own = x11->ServedBmp())
      return DecodePicture(own->data.get(), own->size, image);
    // Only what BeginFetch fetched: waiting here for another program would stop the window.
    const bool fetched = std::exchange(m_bFetched, false);
    const bool read = fetched && x11->ReadStatus() == X11ReadStatus::Done &&
                      DecodeOffered(QString::fromStdString(x11->ReadTarget()), x11->ReadData(),
                                    x11->ReadSize(), image);
    // Fetched bytes may be decoded on another thread (ReadsWhileConverting), which must leave
    // the timer and the notifier alone; the fetch left nothing to dispatch anyway.
    x11->ReleaseReadData();
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
  // The PNG of a result this one replaces is of no more use.
  m_png.Join();
  const auto bmp = std::make_shared<const X11Bytes>(EncodeBmpFile(image));
  if (bmp->empty())
    return false;
  if (!m_pPngNotifier && m_png.ReadyDescriptor() >= 0) {
    m_pPngNotifier = new QSocketNotifier(m_png.ReadyDescriptor(), QSocketNotifier::Read, Context());
    QObject::connect(m_pPngNotifier, &QSocketNotifier::activated, Context(), [this] {
      if (m_png.Ready())
        HandPng();
    });
  }
  if (CX11Selection *x11 = X11()) {
    const bool served = x11->Serve(ServedBytes(bmp), std::nullopt,
                                   std::chrono::steady_clock::now() + std::chrono::seconds(2));
    if (served) {
      m_png.Start(bmp);
      // Made here and now, where no thread was to be had.
      if (m_png.Ready())
        HandPng();
    }
    Pump();
    return served;
  }
  QClipboard *clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr)
    return false;
  m_png.Start(bmp);
  m_resultBmp = bmp;
  m_resultPng = m_png.Future();
  // The clipboard owns the data from here on.
  auto *offered = new CResultMimeData(
      QByteArray(reinterpret_cast<const char *>(bmp->data()), static_cast<qsizetype>(bmp->size())),
      m_png.Future());
  clipboard->setMimeData(offered, QClipboard::Clipboard);
  // When the window system refuses us the selection, the clipboard answers with someone
  // else's data.
  return clipboard->mimeData(QClipboard::Clipboard) == offered;
}

void CQtClipboard::KeepQtResult(const QString &keeperPath) {
  m_png.Join();
  const QClipboard *clipboard = QGuiApplication::clipboard();
  // Only the Wayland selection can be kept: the offscreen platform's clipboard is ours alone.
  if (QGuiApplication::platformName() != QLatin1String("wayland") || !m_resultBmp ||
      clipboard == nullptr || !clipboard->ownsClipboard())
    return;
  if (keeperPath.isEmpty()) {
    qWarning("vantoly: vantoly-keeper is not installed; the result goes with the program");
    return;
  }
  CKeeperStart keeper;
  // Made by now: its thread has been joined.
  const CResultPng::Bytes png = m_resultPng.valid() ? m_resultPng.get() : nullptr;
  if (keeper.StartWayland(keeperPath.toStdString(), ServedBytes(m_resultBmp), ServedBytes(png))) {
    // Qt's loop serves our selection until the keeper's offer replaces it. Keys wait: the
    // window is gone.
    QEventLoop loop;
    QSocketNotifier answered(keeper.PollDescriptor(), QSocketNotifier::Read);
    QObject::connect(&answered, &QSocketNotifier::activated, &loop, [&] {
      keeper.Dispatch();
      if (keeper.Answer() != KeeperAnswer::Waiting)
        loop.quit();
    });
    QTimer::singleShot(WaylandKeeperTimeout, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  // A compositor without the means (mutter) keeps what it keeps itself.
  if (keeper.Answer() == KeeperAnswer::Failed || keeper.Answer() == KeeperAnswer::Waiting)
    qWarning("vantoly: %s did not take the clipboard; the result goes with the program",
             qPrintable(keeperPath));
}

void CQtClipboard::HandOver(const QString &keeperPath) {
  if (!m_pX11 || m_bHandedOver || (m_png.Future().valid() && !m_png.Ready()))
    return;
  HandOverX11(keeperPath);
}

void CQtClipboard::HandOverX11(const QString &keeperPath) {
  m_bHandedOver = true;
  CancelFetch();
  // Qt's event loop does not run from here on (it is about to end): this loop drives the
  // connection.
  m_pNotifier->setEnabled(false);
  m_pTimer->stop();
  if (m_pPngNotifier != nullptr)
    m_pPngNotifier->setEnabled(false);
  CX11Selection &x11 = *m_pX11;
  // The PNG first: the keeper is handed both files. Requests are answered meanwhile (those for
  // the PNG once it is there).
  CPngSource png(m_png, [this, &x11] { x11.SetPng(ServedBytes(m_png.Join())); });
  if (m_png.Future().valid())
    RunPollLoop(
        {&x11, &png}, [this] { return !m_png.Future().valid(); },
        std::chrono::steady_clock::time_point::max());
  if (!x11.Serving())
    return;
  CKeeperStart keeper;
  const X11Value *bmp = x11.ServedBmp(), *made = x11.ServedPng();
  if (keeperPath.isEmpty()) {
    qWarning("vantoly: vantoly-keeper is not installed; the result goes with the program");
    return;
  }
  if (keeper.Start(keeperPath.toStdString(), x11.DisplayName(), x11.ServedTime(), *bmp,
                   made != nullptr ? *made : X11Value{})) {
    // Until it owns the clipboard and we have heard that we lost it, or it has failed: every
    // request before that point reached us and is answered, every one after reaches it.
    RunPollLoop(
        {&x11, &keeper},
        [&] {
          return keeper.Answer() == KeeperAnswer::Failed ||
                 (keeper.Answer() != KeeperAnswer::Waiting && !x11.Serving());
        },
        std::chrono::steady_clock::now() + KeeperStartTimeout);
  }
  if (keeper.Answer() == KeeperAnswer::Failed || keeper.Answer() == KeeperAnswer::Waiting)
    qWarning("vantoly: %s did not take the clipboard; the result goes with the program",
             qPrintable(keeperPath));
}

void CQtClipboard::KeepResult(const QString &keeperPath) {
  if (!m_pX11) {
    KeepQtResult(keeperPath);
    return;
  }
  if (!m_bHandedOver)
    HandOverX11(keeperPath);
  // Whatever is still ours is given up, every request that reached us is answered, and
  // transfers under way may finish, or are ended.
  CX11Selection &x11 = *m_pX11;
  x11.Relinquish();
  RunPollLoop(
      {&x11}, [&x11] { return !x11.Transferring() || !x11.IsOpen(); },
      std::chrono::steady_clock::now() + FinishTransfersTimeout);
  x11.EndTransfers();
}
