// BMP files: a 14-byte file header ("BM", bfSize, two reserved words, bfOffBits, where the
// rows start counted from the file's first byte) followed by a packed bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitmap/dib_image.h"
#include "clipboard/packed_dib.h"

inline constexpr std::size_t BmpFileHeaderSize = 14;

// Reads a whole BMP file. bfSize is not trusted (writers get it wrong); bfOffBits is, after
// checking that it lies behind the colour table and leaves room for the rows.
bool ReadBmpFile(const std::uint8_t *data, std::size_t size, CDibImage &image,
                 DibRefusal *why = nullptr);

// The file for `image`: "BM", bfSize = 14 + block, reserved 0, bfOffBits = 14 + 40 + 4 × colours,
// then the packed bitmap. Empty when the image has no section. May throw std::bad_alloc.
std::vector<std::uint8_t> EncodeBmpFile(const CDibImage &image);
