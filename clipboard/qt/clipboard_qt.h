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
// On X11 the read runs on a connection and a thread of its own (clipboard_x11.h) under one
// deadline, while the caller's event loop keeps running; elsewhere (Wayland, the offscreen
// platform) it goes through QClipboard.
//
// Writing offers the result twice: image/bmp (the BMP file our codec writes, byte for byte) for
// programs that take bitmaps, and image/png (same pixels, same colour table) for the many Linux
// programs that paste only PNG. The PNG is made when a program first asks for it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMimeData>
#include <QStringList>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "clipboard/clipboard.h"
#include "clipboard/formats/picture.h"

class CX11SelectionRead;

// How long a read from another program may take, from the request to the last byte.
inline constexpr std::chrono::milliseconds ClipboardReadTimeout{5000};

class CQtClipboard : public CClipboard {
public:
  // On X11 the wait for the owner runs the caller's event loop, with the wait cursor.
  bool ReadDib(CDibImage &image) override;
  // The clipboard is replaced only once the BMP is ready, so a failure leaves it as it was.
  // When the program ends, Qt hands the contents to the desktop's clipboard manager, if one
  // runs.
  bool WriteDib(const CDibImage &image) override;
  // Ends a read that is waiting for another program: ReadDib then returns false at once.
  void CancelRead();

private:
  bool ReadX11(CDibImage &image);

  CX11SelectionRead *m_pRead = nullptr; // the read waiting, if any
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

// What the clipboard offers for a result: the BMP as it was built, and the PNG made from it
// when a program first asks, then kept.
class CResultMimeData : public QMimeData {
public:
  explicit CResultMimeData(QByteArray bmp);
  QStringList formats() const override;
  bool hasFormat(const QString &mimeType) const override;

protected:
  QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
  QByteArray m_bmp;
  mutable QByteArray m_png;
  mutable bool m_bPngMade = false;
};
