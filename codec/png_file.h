// PNG files, in and out, through libpng and isa-l.
//
// Reading takes any valid PNG: every colour type (gray, RGB, palette, gray with alpha, RGB with
// alpha), every bit depth (1, 2, 4, 8, 16), interlaced or not, with or without tRNS. The result
// is always a fresh 24-bit image (rows bottom-up, blue, green, red):
//   - samples of fewer than 8 bits are scaled up by libpng's expansion (gray 1 bit: 0 and 255),
//   - 16-bit samples reduce to 8 bits as (v × 255 + 32767) / 65535, rounding to nearest,
//   - transparency (an alpha channel, a palette's tRNS alphas, a tRNS colour key) is flattened
//     onto white with one integer rule on the 8-bit values: (c × a + 255 × (255 − a) + 127) / 255;
//     a colour key with a sample beyond the bit depth (a 2-bit gray key of 6) matches nothing,
//   - gAMA, cHRM, sRGB, iCCP and every other ancillary chunk but tRNS are skipped unread: the
//     stored values are the colours, as a bitmap's are.
// The pixel data is inflated by isa-l (half zlib's time on a photo, a fifth on a screenshot) as
// it streams in, and libpng unfilters and expands it as ever. isa-l takes a few deflate streams
// that zlib refuses and no encoder writes (one that reaches back past the window its header
// declares, which isa-l always keeps at 32 KiB): such a file is read, where zlib refused it.
// A first chunk other than IHDR, a CRC error in any chunk, truncation, a zlib error or any other
// libpng error refuses the file.
// Width × height above MaxReadPixels, or a side above MaxReadSide, is refused before anything
// is allocated: the row buffers then take at most 3 × 8 MiB. The source is asked for blocks of
// up to 64 KiB, whatever the chunks' sizes, and only while the last pixel row is incomplete
// (IEND is never waited for). Skipped chunks are read past, never kept, and what one file may
// pull is bounded, so neither a stream of empty chunks nor an endless input runs on:
//   - before the first IDAT chunk, at most 256 MiB in at most 4096 chunks (header, palette and
//     the skipped metadata: a real file has a few dozen chunks and a few MiB);
//   - then the pixel data: its chunks' data at most twice the raw rows (the rows as the file
//     lays them out, a filter byte each) plus 1 MiB, and never more than 4 GiB, plus 12 bytes
//     for each chunk's length, type and CRC, in at most 2^26 chunks in all (a file of one-byte
//     IDAT chunks holding 64 MiB of compressed pixels).
//
// Writing makes an indexed PNG (colour type 3) at the image's depth, 1, 4 or 8 bits, top row
// first, with the image's colour table as PLTE: as long as the table, grown to the highest index
// a pixel uses (a bitmap reads an index behind its table as black, a PNG reader may refuse it),
// and never longer than the depth allows. 24- and 32-bit images become RGB PNGs (the fourth
// byte dropped). libpng writes the header, the palette and the chunks' framing; the rows are
// filtered here, each unfiltered or "up" (the top row unfiltered), whichever has the smaller
// sum of its bytes taken as signed magnitudes, and deflated with isa-l at level 1 into IDAT
// chunks of 256 KiB. Speed first: a 3840 × 2160 result of any mode encodes within 0.05 s even
// from noise, 2.5 to 3.5 times as fast as zlib at level 1 with its run-length strategy; flat
// results (a screenshot's) mostly come out half as large or smaller, a photo's from 14 %
// smaller to a fifth larger, a smooth gradient's (tens of KiB) up to twice as large.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitmap/dib_image.h"
#include "codec/byte_stream.h"
#include "codec/read_limits.h"
#include "codec/refusal.h"

// The 8-byte PNG signature at `data`.
bool HasPngSignature(const std::uint8_t *data, std::size_t size);

// Decodes the PNG the source delivers into `image`, which must be freshly constructed; on
// failure it holds no section. Exceptions from the source (std::bad_alloc) pass through once
// libpng has let go of everything. An image with a row progress (bitmap/row_progress.h) is
// announced as soon as it is made and each row as soon as it is stored (an interlaced
// picture's only when complete), and keeps its section on failure until its owner releases it.
bool ReadPng(const ByteSource &source, CDibImage &image, PngRefusal *why = nullptr);
bool ReadPngBytes(const std::uint8_t *data, std::size_t size, CDibImage &image,
                  PngRefusal *why = nullptr);

// Encodes `image` as above into the sink, in order, each row once it is final (an image with
// a row progress may still be filling). False for an image without a section or of 16 bits per
// pixel, when the sink fails, or when the image's filling fails; the sink may then have taken
// part of the file. Exceptions from the sink pass through like the source's.
bool WritePng(const CDibImage &image, const ByteSink &sink);
