// The desktop clipboard on Linux (X11 or Wayland), through Qt.
//
// Reading takes the first of these the clipboard offers:
//   image/bmp, image/x-bmp, image/x-MS-bmp   decoded by our own codec, so every depth and every
//                                            check applies; a BMP file, or a bare packed bitmap
//                                            as some bridges from Windows put it
//   any other picture Qt can decode          (PNG, JPEG, GIF ...) as a 32-bit image, with
//                                            transparent areas flattened onto white
// Writing offers the result twice: image/bmp (the BMP file our codec writes, byte for byte) for
// programs that take bitmaps, and image/png (same pixels, same colour table) for the many Linux
// programs that paste only PNG.
#pragma once

#include <QByteArray>

#include "clipboard/clipboard.h"

class QMimeData;

class CQtClipboard : public CClipboard {
public:
  bool ReadDib(CDibImage &image) override;
  // The clipboard is replaced only once both encodings are ready, so a failure leaves it as it
  // was. When the program ends, Qt hands the contents to the desktop's clipboard manager, if
  // one runs.
  bool WriteDib(const CDibImage &image) override;
};

// The decoding policy above, for any set of MIME data.
bool ReadMimeDib(const QMimeData &mime, CDibImage &image);

// `image` as a PNG file: 1, 4 and 8 bits per pixel as an indexed PNG of the same depth with the
// image's colour table, 24 and 32 as RGB. Empty for an image without a section or another depth.
QByteArray EncodePngFile(const CDibImage &image);
