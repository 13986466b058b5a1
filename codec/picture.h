// Pictures as bytes, whatever their format: the one place that tells a BMP file, a bare packed
// bitmap and a PNG apart, holds every picture to the one pixel limit, lays transparency onto
// white by the one rule, and turns a result back into BMP or PNG bytes.
//
// Formats are told by their first bytes, never by a name or a MIME type, which writers get
// wrong: "BM" starts a BMP file, the eight-byte PNG signature a PNG. A bare packed bitmap starts
// with its header size, and "BM" would announce a header of 19778 bytes, which no writer makes,
// so the three cannot be confused. Files never hold a bare packed bitmap; only the in-memory
// reader (clipboard data) takes one.
//
// Pictures that other libraries decode (the desktop's JPEG or GIF readers) come in through
// ImportArgbPicture, so they meet the same limit and the same transparency rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "bitmap/dib_image.h"
#include "codec/byte_stream.h"
#include "codec/packed_dib.h"

// Every picture read from outside stays WithinReadLimits (codec/read_limits.h): the packed
// bitmap codec's limits, which the BMP and PNG readers share.

enum class PictureFormat { Unknown, BmpFile, Png };

// The format the first `size` bytes announce; Unknown also when they are too few to tell.
PictureFormat SniffPicture(const std::uint8_t *data, std::size_t size);

// A whole picture in memory, as a clipboard hands it over: a BMP file, a PNG, or else a bare
// packed bitmap. `image` must be freshly constructed.
bool DecodePicture(const std::uint8_t *data, std::size_t size, CDibImage &image);

// A BMP file or a PNG pulled from `source` as the decoder needs it: no more of the input is
// read than the picture announces, and a BMP's rows go straight into the image. `why` tells why
// a picture was refused. Where the same input can also be read out of order (`at`, a file
// read from its first byte), a BMP's rows are read from the file's end, top row first, and
// each piece is published as it arrives.
bool DecodePictureStream(const ByteSource &source, CDibImage &image, PictureRefusal *why = nullptr,
                         const ByteSourceAt *at = nullptr);

// A picture decoded elsewhere into 32-bit rows of 0xAARRGGBB values, top row first; `row(y)`
// returns row y. Held to the pixel limit, flattened onto white, stored as a 32-bit image.
bool ImportArgbPicture(int width, int height, const std::function<const std::uint32_t *(int)> &row,
                       CDibImage &image);

enum class PictureEncoding { Bmp, Png };

// `image` as a BMP file (the packed bitmap behind a 14-byte file header, the rows handed over
// from the image itself) or as a PNG (indexed at 1, 4 or 8 bits with the image's colour
// table), into the sink in order. False for an image without a section, when the sink fails,
// or when the image's filling fails (an image still being filled on another thread is written
// as its rows become final: a PNG row by row, a BMP once all are there); the sink may then have
// taken part of the file. The sink's exceptions pass through.
bool EncodePicture(const CDibImage &image, PictureEncoding encoding, const ByteSink &sink);

// The BMP file EncodePicture makes, put in place piece by piece on an output that can be
// written out of order (a file): its rows go out as they become final, top row first, so
// that the writing keeps pace with an image still being filled. False as EncodePicture.
bool EncodeBmpFileAt(const CDibImage &image, const ByteSinkAt &sink);

// The PNG of a result held as the bytes of its BMP file, as a clipboard serves it beside the
// BMP: made from the BMP, which holds the result exactly. Empty when the bytes do not decode.
// May throw std::bad_alloc.
std::vector<std::uint8_t> PngFromBmpFile(const std::uint8_t *bmp, std::size_t size);
