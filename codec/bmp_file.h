// BMP files: a 14-byte file header ("BM", bfSize, two reserved words, bfOffBits, where the
// rows start counted from the file's first byte) followed by a packed bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitmap/dib_image.h"
#include "codec/byte_stream.h"
#include "codec/packed_dib.h"

inline constexpr std::size_t BmpFileHeaderSize = 14;
// The most bytes a file's head (file header, info header, masks, colour table) can span.
inline constexpr std::size_t MaxBmpFileHeadSize = BmpFileHeaderSize + MaxDibHeadSize;

// Reads a whole BMP file. bfSize is not trusted (writers get it wrong); bfOffBits is, after
// checking that it lies behind the colour table and leaves room for the rows.
bool ReadBmpFile(const std::uint8_t *data, std::size_t size, CDibImage &image,
                 DibRefusal *why = nullptr);

// ParseDibHead for a BMP file of `fileSize` bytes (or UnknownBlockSize) whose first `available`
// bytes lie at `data`. The layout's offsets count from the file's first byte; NeedsMore asks
// for at most MaxBmpFileHeadSize bytes. ReadBmpFile is this, CreateDibImage and StoreDibRows.
DibHeadParse ParseBmpFileHead(const std::uint8_t *data, std::size_t available,
                              std::uint64_t fileSize, DibBlockLayout &layout, DibRefusal *why);

// The file for `image`: "BM", bfSize = 14 + block, reserved 0, bfOffBits = 14 + 40 + 4 × colours,
// then the packed bitmap, into the sink in three pieces (the last two the image's own bytes).
// False when the image has no section or the sink failed.
bool WriteBmpFile(const CDibImage &image, const ByteSink &sink);
// The size of that file; 0 when the image has no section.
std::size_t BmpFileSize(const CDibImage &image);
// The same file in memory. Empty when the image has no section. May throw std::bad_alloc.
std::vector<std::uint8_t> EncodeBmpFile(const CDibImage &image);

// The same file as three pieces to be written one after another, the last two being the
// image's own bytes: no copy of the rows is made.
struct BmpFileParts {
  std::uint8_t fileHeader[BmpFileHeaderSize];
  const void *head; // the info header and the colour table, back to back in the image
  std::size_t headSize;
  const std::uint8_t *rows;
  std::size_t rowsSize;
};
// False when the image has no section.
bool DescribeBmpFile(const CDibImage &image, BmpFileParts &parts);
