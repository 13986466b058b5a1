// The packed device-independent bitmap: the clipboard's bitmap format (CF_DIB, image/bmp
// without its file header), and the body of a BMP file.
//
// What the reader accepts, in block order (all fields little-endian):
//
//   offset 0        info header, biSize bytes. biSize is at least 40; its first 40 bytes are
//                   the classic fields (biWidth, biHeight, biPlanes, biBitCount, biCompression,
//                   ...). Longer headers (52, 56, 108, 124 bytes) are read as far as needed.
//   biSize          only for biCompression 3 (bit fields) with biSize < 52: three 32-bit masks,
//                   red, green, blue. With biSize >= 52 the masks are the header's own fields
//                   at offsets 40-51 instead.
//   then            the colour table: n entries of blue, green, red, reserved, where n is
//                   biClrUsed when non-zero (at most 256), else 2, 16 or 256 for 1, 4 or 8 bits
//                   per pixel and 0 for 16, 24 and 32.
//   then            the pixel rows, bottom-up, each padded to a multiple of four bytes. In a BMP
//                   file they start at bfOffBits instead, which may leave a gap.
//
// Width must be > 0 and height > 0 (top-down blocks, with a negative height, are refused);
// biBitCount is 1, 4, 8, 16, 24 or 32. biCompression is 0 (plain rows) at every depth, or 3 at
// 16 and 32 bits per pixel; run-length, JPEG, PNG and alpha bit-field blocks are refused, since
// their bytes are not pixel rows. biSize is at most MaxDibHeaderSize and width × height at most
// MaxReadPixels, width and height at most MaxReadSide. Every size is computed in 64 bits and
// checked against the block's length before anything is allocated, and nothing is read past the
// block.
//
// 16-bit pixels (plain 16-bit is 5-5-5) and bit-field pixels are decoded into a 32-bit image
// (blue, green, red, 0). Each channel's mask, shifted down to its lowest set bit, has n bits;
// the channel's value v scales to 8 bits as v >> (n - 8) when n >= 8, else as
// (v × 255 + (2^n - 1) / 2) / (2^n - 1) in integers, and 0 when the mask is empty.
//
// The image built always carries a plain 40-byte header with biCompression 0.
//
// The writer lays out exactly: the image's 40-byte header (biSize 40, biCompression 0,
// biSizeImage 0, resolutions 0, biClrUsed = m_paletteCount, biClrImportant 0), then
// m_paletteCount table entries, then m_stride × height bytes of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitmap/dib_image.h"
#include "codec/read_limits.h"
#include "codec/refusal.h"

// The longest info header taken. The longest in use is 124 bytes; a longer one is garbage, and
// the bound keeps what a streaming reader must hold before the rows small.
inline constexpr std::uint32_t MaxDibHeaderSize = 4096;
// The most bytes a block's head (header, masks, colour table) can span.
inline constexpr std::size_t MaxDibHeadSize = MaxDibHeaderSize + 12 + 4 * MaxPaletteEntries;

// Decodes the packed bitmap in [block, block + size) into `image`, which must be freshly
// constructed.
bool ReadPackedDib(const std::uint8_t *block, std::size_t size, CDibImage &image,
                   DibRefusal *why = nullptr);

// Same for a block whose rows start `rowsOffset` bytes after its first byte (a BMP file's
// bfOffBits less the file header). Used by the BMP file reader.
bool ReadPackedDibWithRowsAt(const std::uint8_t *block, std::size_t size, std::uint64_t rowsOffset,
                             CDibImage &image, DibRefusal *why);

// The readers above in three steps, for a reader that gets the block piece by piece (a file
// read straight into the image): parse the head, make the image, store the rows. Every reader,
// whole block or stream, goes through the same checks.

// What a block's head says: the image it makes and where its parts lie, counted from the
// block's first byte.
struct DibBlockLayout {
  DibInfoHeader header{};             // the image's: biSize 40, biCompression 0
  RgbQuad table[MaxPaletteEntries]{}; // header.biClrUsed or the depth's count of entries
  std::uint32_t masks[3]{};           // red, green, blue of 16-bit and bit-field rows
  int bitCount = 0;                   // of the block's rows
  bool masked = false;                // rows decoded into 32 bits per pixel
  std::uint64_t headSize = 0;         // header, masks and table; after NeedsMore, what is needed
  std::uint64_t rowsStart = 0;
  std::uint64_t stride = 0; // of the block's rows
  std::uint64_t rowsSize = 0;
};

// A block's length while it is still arriving: checks against the length are left to the
// reader that meets the end.
inline constexpr std::uint64_t UnknownBlockSize = UINT64_MAX;

enum class DibHeadParse {
  Parsed,    // the layout is complete and every check passed
  NeedsMore, // the first layout.headSize bytes are needed (more than `available`)
  Refused,   // *why says why
};

// Parses the head of a block that is `blockSize` bytes long (or UnknownBlockSize) and whose
// first `available` bytes lie at `block`. `rowsOffset` < 0 means the rows follow the colour
// table. Refusals come in the same order as ReadPackedDib's; with the whole block at hand the
// result is never NeedsMore.
DibHeadParse ParseDibHead(const std::uint8_t *block, std::size_t available, std::uint64_t blockSize,
                          std::int64_t rowsOffset, DibBlockLayout &layout, DibRefusal *why);

// Makes the freshly constructed `image` for a parsed layout, every row zero, and says so to
// whoever follows its rows (PublishRows 0). False when no section can be made (NoSection), or
// when the image is not wanted at its size (Unwanted): no row has been read then.
bool CreateDibImage(const DibBlockLayout &layout, CDibImage &image, DibRefusal *why);

// Where a reader may put the block's rows (layout.rowsSize bytes) inside the image's own store
// so that StoreDibRows finishes them in place: the store's last rowsSize bytes. For plain rows
// that is the whole store, and nothing remains to be done.
std::uint8_t *DibRowsInPlace(const DibBlockLayout &layout, CDibImage &image);

// Stores the block's rows, which lie at `rows` (elsewhere, or at DibRowsInPlace), in the image
// made for the layout: copied, or decoded into 32 bits when masked.
void StoreDibRows(const DibBlockLayout &layout, const std::uint8_t *rows, CDibImage &image);
// The same for rows first .. end - 1 only, counted in the store (bottom row first); `rows` still
// points at the block's first row.
void StoreDibRows(const DibBlockLayout &layout, const std::uint8_t *rows, CDibImage &image,
                  std::size_t first, std::size_t end);
// Whether each row at DibRowsInPlace lies where the image keeps it, so that rows may be read
// and stored in any order: plain rows, and bit-field rows as wide as the image's. Narrower
// ones are widened in place from the bottom row up, and must arrive in that order.
bool DibRowsStoredInPlace(const DibBlockLayout &layout);

// Length of the block WritePackedDib lays out for `image`; 0 when it has no section.
std::size_t PackedDibSize(const CDibImage &image);
// Lays `image` out at `out`, which holds PackedDibSize(image) bytes.
void WritePackedDib(const CDibImage &image, std::uint8_t *out);
