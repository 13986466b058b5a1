// PNG files, in and out, with isa-l for deflate and the CRC.
//
// Reading takes any valid PNG: every colour type (gray, RGB, palette, gray with alpha, RGB with
// alpha), every bit depth (1, 2, 4, 8, 16), interlaced or not, with or without tRNS. The result
// is always a fresh 24-bit image (rows bottom-up, blue, green, red):
//   - gray samples of fewer than 8 bits are scaled up (1 bit: 0 and 255; 2 bits: × 85; 4 bits:
//     × 17), palette indices take their entry's colour, and an index behind the palette is
//     black (as libpng reads it),
//   - 16-bit samples reduce to 8 bits as (v × 255 + 32767) / 65535, rounding to nearest,
//   - transparency (an alpha channel, a palette's tRNS alphas, a tRNS colour key) is flattened
//     onto white with one integer rule on the 8-bit values, FlattenOnWhite (bitmap/color.h):
//     (c × a + 255 × (255 − a) + 127) / 255. A palette entry behind tRNS's alphas is opaque; a
//     colour key makes the pixels whose samples equal it white, compared before any scaling or
//     reduction (all 16 bits of a 16-bit one), and a key with a sample beyond the bit depth
//     (a 2-bit gray key of 6) matches nothing,
//   - gAMA, cHRM, sRGB, iCCP and every other ancillary chunk but tRNS are skipped unread: the
//     stored values are the colours, as a bitmap's are.
//
// The file is read once, front to back, up to the chunk holding the end of the pixel data's
// zlib stream; IEND and whatever follows (further IDAT chunks too) are never waited for. The
// checks libpng makes with all of them on are made (but one, below), and the file is refused
// when one fails:
//   - the signature; IHDR first, 13 bytes, its fields valid; chunk lengths below 2^31, chunk
//     types of letters; no critical chunk but IHDR, PLTE, IDAT and IEND (IEND not before IDAT);
//   - the CRC of every chunk read, skipped ones included;
//   - PLTE at most once, before IDAT, never in a gray picture, 1 to 256 entries of 3 bytes,
//     present in a palette picture; one longer than the bit depth addresses is read and its
//     extra entries ignored, as libpng does; tRNS at most once, after PLTE, of the colour
//     type's size (2 bytes for gray, 6 for RGB, 1 to the palette's length), none with alpha;
//   - the zlib header (method 8, a window of at most 32 KiB, the check bits, no preset
//     dictionary), the deflate data, the Adler-32 at the stream's end;
//   - IDAT chunks in one run (any other chunk before the stream's end refuses the file), each
//     row's filter type (0 to 4), and exactly the bytes the rows need: the stream may neither
//     end before the last row, nor inflate to more, nor be followed by more data in its chunk.
// isa-l inflates the pixel data straight into a batch of rows, as it streams in, in half zlib's
// time on a photo and a fifth on a screenshot; the rows are unfiltered with SSE2 (Paeth's
// prediction for a whole pixel at once, as libpng does) and expanded here. isa-l keeps a 32 KiB
// window whatever the header declares, so a stream declaring a smaller one (libpng writes those
// for pictures of less than 16 KiB of rows) is inflated by zlib, fed as libpng feeds it, and
// refused where it reaches back further than zlib allows. The one check of libpng's (zlib's,
// in fact) left out: a Huffman code that leaves codes unused, which no encoder writes, is
// refused by zlib but inflated by isa-l, as long as the data needs none of the missing codes.
//
// Width × height above MaxReadPixels, or a side above MaxReadSide, is refused from IHDR, before
// anything is allocated: the rows being inflated (a batch of 256 KiB, or one row when longer)
// and a copy of the row above then take at most 2 × 8 MiB. The source is asked for blocks of up to
// 64 KiB, whatever the chunks' sizes, and only while the pixel data's stream is incomplete. Skipped
// chunks are read past, never kept, and what one file may pull is bounded, so neither a stream of
// empty chunks nor an endless input runs on:
//   - before the first IDAT chunk, at most 256 MiB in at most 4096 chunks (header, palette and
//     the skipped metadata: a real file has a few dozen chunks and a few MiB);
//   - then the pixel data: its chunks' data at most twice the raw rows (the rows as the file
//     lays them out, a filter byte each) plus 1 MiB, and never more than 4 GiB, plus 12 bytes
//     for each chunk's length, type and CRC, in at most 2^26 chunks in all (a file of one-byte
//     IDAT chunks holding 64 MiB of compressed pixels).
// A chunk that declares more than these bounds leave is refused at its header.
//
// Writing makes an indexed PNG (colour type 3) at the image's depth, 1, 4 or 8 bits, top row
// first, with the image's colour table as PLTE: as long as the table, grown to the highest index
// a pixel uses (a bitmap reads an index behind its table as black, a PNG reader may refuse it),
// and never longer than the depth allows. 24- and 32-bit images become RGB PNGs (the fourth
// byte dropped). The file holds the signature, IHDR, PLTE for an indexed image, the IDAT chunks
// and IEND, nothing else. The rows are filtered here, each unfiltered or "up" (the top row
// unfiltered), whichever has the smaller sum of its bytes taken as signed magnitudes, and
// deflated with isa-l at level 1 into IDAT chunks of 256 KiB. Speed first: a 3840 × 2160 result
// of any mode encodes within 0.05 s even from noise, 2.5 to 3.5 times as fast as zlib at level
// 1 with its run-length strategy; flat results (a screenshot's) mostly come out half as large
// or smaller, a photo's from 14 % smaller to a fifth larger, a smooth gradient's (tens of KiB)
// up to twice as large.
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
// failure it holds no section, and `why` tells the reason (and the chunk at fault, where there
// is one). Exceptions from the source (std::bad_alloc) pass through. An image with a row
// progress (bitmap/row_progress.h) is announced as soon as it is made, before any pixel data is
// pulled, and each row as soon as it is stored (an interlaced picture's only when complete); a
// refusal there (PublishRows false) stops the reading as Unwanted. Such an image keeps its
// section on failure until its owner releases it.
bool ReadPng(const ByteSource &source, CDibImage &image, PictureRefusal *why = nullptr);
bool ReadPngBytes(const std::uint8_t *data, std::size_t size, CDibImage &image,
                  PictureRefusal *why = nullptr);

// Encodes `image` as above into the sink, in order, each row once it is final (an image with
// a row progress may still be filling). False for an image without a section or of 16 bits per
// pixel, when the sink fails, or when the image's filling fails; the sink may then have taken
// part of the file. Exceptions from the sink pass through.
bool WritePng(const CDibImage &image, const ByteSink &sink);
