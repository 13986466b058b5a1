// The desktop clipboard on Linux (X11 or Wayland), through Qt.
//
// Reading takes one picture, the first of these the clipboard offers:
//   image/bmp, image/x-bmp, image/x-MS-bmp   decoded by our own codec, so every depth and every
//                                            check applies; a BMP file, or a bare packed bitmap
//                                            as some bridges from Windows put it
//   image/png                                decoded by our PNG codec, as vantoly-convert reads
//                                            a PNG file, so both give the same bytes
//   any other picture Qt can decode          (JPEG, GIF ...) as a 32-bit image, with
//                                            transparent areas flattened onto white
// On X11 the bytes come over a connection of our own (clipboard/x11/x11_selection.h), fetched
// before the Convert command runs, under one deadline, while the caller's event loop keeps
// running; elsewhere (native Wayland, the offscreen platform) they come through QClipboard.
//
// Writing offers the result twice: image/bmp (the BMP file our codec writes, byte for byte) for
// programs that take bitmaps, and image/png (same pixels, same colour table) for the many Linux
// programs that paste only PNG. The BMP is encoded once; the PNG is made once from it on a
// thread of ours (clipboard/qt/result_png.h) as soon as the result is on the clipboard, and
// handed to what serves it: on X11 our own selection, where a request for it waits meanwhile
// while every other is answered; elsewhere Qt's clipboard, whose request waits for it. Beside
// them goes ResultMarkerType (clipboard/x11/x11_selection.h), by which the keeper tells our
// result from another copy. When the program ends on X11 or native Wayland with the result
// still on the clipboard, both files go to vantoly-keeper, which serves them on (and offers
// them to the clipboard manager) so that the result outlives us.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMimeData>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "clipboard/clipboard.h"
#include "clipboard/qt/result_png.h"
#include "codec/picture.h"

class CX11Selection;
class QObject;
class QSocketNotifier;
class QTimer;

// How long a read from another program may take, from the request to the last byte.
inline constexpr std::chrono::milliseconds ClipboardReadTimeout{5000};
// The most bytes a read takes from another program: more than a picture of 8192 × 6144 at
// 32 bits, and well below what would strain the desktop's memory.
inline constexpr std::size_t ClipboardReadLimit = std::size_t{200} << 20;
// At the end: how long the keeper may take to start and own the clipboard, and then how long
// transfers still under way may take before they are ended.
inline constexpr std::chrono::milliseconds KeeperStartTimeout{3000};
inline constexpr std::chrono::milliseconds FinishTransfersTimeout{1000};
// The same on native Wayland, where the keeper has only the compositor to ask.
inline constexpr std::chrono::milliseconds WaylandKeeperTimeout{1000};

class CQtClipboard : public CClipboard {
public:
  CQtClipboard();
  ~CQtClipboard() override;
  CQtClipboard(const CQtClipboard &) = delete;
  CQtClipboard &operator=(const CQtClipboard &) = delete;

  // The bytes BeginFetch fetched, decoded, or on X11 our own result. Off X11 without a fetch,
  // the clipboard read at once (Qt's own clipboard, which waits for the owner itself).
  bool ReadDib(CDibImage &image) override;
  // The clipboard is replaced only once the BMP is ready, so a failure leaves it as it was.
  bool WriteDib(const CDibImage &image) override;
  // Once a PNG is fetched: its bytes are in hand, so ReadDib may decode them on a thread of its
  // own without talking to the display, and the Convert command converts the rows as they
  // come. Decoding a PNG takes longer than converting it; a BMP is a copy.
  bool ReadsWhileConverting() const override;

  // Where reading needs another program's answer (X11), starts fetching the clipboard's
  // picture and returns true; `fetched` runs later from the event loop, once the bytes are in
  // or the fetch failed, and ReadDib then decodes them. Elsewhere takes the bytes from
  // QClipboard at once for ReadDib and returns false.
  bool BeginFetch(std::function<void()> fetched) override;
  // Gives up a fetch under way; its `fetched` does not run.
  void CancelFetch() override;
  // While the program's window is still up and active, as the program ends: on X11, when the
  // result on the clipboard is still ours and its PNG is made, hands it to the keeper at once,
  // as KeepResult does. Under a Wayland compositor whose bridge carries an X11 clipboard to
  // Wayland programs only when it changes hands while an X11 window is active (KWin), the
  // keeper's is then carried too, and Wayland programs never meet a stale one. Where the PNG is
  // still being made, KeepResult does it all, so that the window does not stay meanwhile.
  void HandOver(const QString &keeperPath);
  // Once the program's window is gone: when the result on the clipboard is still ours (X11),
  // hands it to the keeper at `keeperPath` (waiting for its PNG first) unless HandOver did, and
  // waits until the keeper owns the clipboard or KeeperStartTimeout has passed. Meanwhile, and
  // until the clipboard is someone else's, every request that reaches us is answered, and none is
  // left unanswered at the end; transfers still under way get FinishTransfersTimeout, then are
  // ended. On native Wayland the same, Qt's event loop answering the requests, for
  // WaylandKeeperTimeout at most. Elsewhere it only waits for the PNG's thread.
  void KeepResult(const QString &keeperPath);

private:
  // Our X11 connection, opened on first use; null off X11 or when the display cannot be opened
  // (Qt was pointed at another one than $DISPLAY), where QClipboard does the work.
  CX11Selection *X11();
  // The object that owns the notifiers, the timer and queued calls.
  QObject *Context();
  // Handles what the connection has brought, and sets the timer for its next deadline.
  void Pump();
  // Once the PNG is made: joins its thread and hands the PNG to our selection.
  void HandPng();
  // KeepResult through Qt's clipboard.
  void KeepQtResult(const QString &keeperPath);
  // The hand-off on X11.
  void HandOverX11(const QString &keeperPath);

  bool m_bX11Tried = false;
  bool m_bHandedOver = false;
  std::unique_ptr<CX11Selection> m_pX11;
  std::unique_ptr<QObject> m_pContext;
  QSocketNotifier *m_pNotifier = nullptr;
  QTimer *m_pTimer = nullptr;
  QSocketNotifier *m_pPngNotifier = nullptr;
  CResultPng m_png;
  // Off X11: the result last put on Qt's clipboard, its BMP and its PNG once made.
  CResultPng::Bytes m_resultBmp;
  std::shared_future<CResultPng::Bytes> m_resultPng;
  unsigned m_nFetch = 0; // which fetch a queued `fetched` belongs to
  bool m_bFetched = false;
  // Off X11: what BeginFetch took from QClipboard, the picture's type and bytes, for ReadDib.
  QString m_fetchedType;
  QByteArray m_fetchedBytes;
};

// The MIME type to read from those offered, by the order above; empty when none holds a
// picture. `decodable` is what Qt's image readers take (QImageReader::supportedMimeTypes()).
QString ChoosePictureType(const QStringList &offered, const QList<QByteArray> &decodable);
// Decodes a picture offered as `type` (one ChoosePictureType chose).
bool DecodeOffered(const QString &type, const std::uint8_t *data, std::size_t size,
                   CDibImage &image);
// The reading policy above, for any set of MIME data.
bool ReadMimeDib(const QMimeData &mime, CDibImage &image);

// `image` as the bytes of a BMP or PNG file. Empty when it cannot be encoded.
QByteArray EncodePictureBytes(const CDibImage &image, PictureEncoding encoding);

// What Qt's clipboard offers for a result: the BMP as it was built, its PNG once made (a
// request for it meanwhile waits), and the marker, empty.
class CResultMimeData : public QMimeData {
public:
  CResultMimeData(QByteArray bmp, std::shared_future<CResultPng::Bytes> png);
  QStringList formats() const override;
  bool hasFormat(const QString &mimeType) const override;

protected:
  QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
  QByteArray m_bmp;
  std::shared_future<CResultPng::Bytes> m_pngMade;
  mutable QByteArray m_png;
  mutable bool m_bPngTaken = false;
};
