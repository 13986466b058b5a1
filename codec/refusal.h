// Why the codec refused a picture. Each format keeps its own reasons distinct, so that the tests
// assert the right one; callers mostly see only false, and a command line shows the reason in
// words beside the file's name.
#pragma once

#include <string>

// Why a packed bitmap or a BMP file was refused.
enum class DibRefusal {
  None,
  TooShort,      // the block ends before the header, masks, table or rows it announces
  HeaderSize,    // biSize below 40 (a 12-byte core header, or garbage), or above MaxDibHeaderSize
  BadWidth,      // width <= 0
  BadHeight,     // height == 0
  TopDown,       // height < 0
  BitCount,      // not 1, 4, 8, 16, 24 or 32
  Compression,   // not plain, or bit fields at a depth other than 16 or 32
  ColorCount,    // biClrUsed above 256
  TooLarge,      // a row or the whole image does not fit our sizes, or exceeds MaxReadPixels or
                 // MaxReadSide
  FileSignature, // a BMP file that does not start with "BM"
  RowOffset,     // bfOffBits points into the header or the colour table
  NoSection,     // the image could not be made (no memory for its section)
  Unwanted,      // the picture's size was refused by the one who asked for it
};

// Why a PNG was refused. Where a chunk is at fault, PictureRefusal::chunk names it.
enum class PngRefusal {
  None,
  Signature,       // the first 8 bytes are not the PNG signature
  TooLarge,        // width × height above MaxReadPixels, or a side above its limit
  Truncated,       // the input ended before the chunk holding the pixel data's end did
  TooLong,         // a chunk declares more than the bounds on bytes or chunks for one file leave
  ReadError,       // the source reported a read error
  NoSection,       // the image could not be made (no memory for its section)
  Unwanted,        // the picture's size was refused by the one who asked for it
  BadChunk,        // a chunk length of 2^31 or more, or a type that is not four letters
  BadCrc,          // a chunk's CRC does not match its type and data
  Misplaced,       // IHDR not first or repeated, IEND before IDAT, PLTE or tRNS repeated or
                   // out of order
  UnknownCritical, // a critical chunk other than IHDR, PLTE, IDAT and IEND
  BadHeader,       // IHDR not 13 bytes, or a field out of range (size 0, depth, colour type,
                   // methods)
  BadPalette,      // PLTE empty, longer than 256 entries, not whole entries, or in a gray picture
  MissingPalette,  // a palette picture's pixel data without PLTE before it
  BadTransparency, // tRNS of the wrong size for the colour type, or with an alpha channel
  BadZlibHeader,   // not deflate, a window above 32 KiB, wrong check bits, or a dictionary
  BadDeflate,      // the deflate data is damaged, or reaches back past its window
  BadAdler,        // the Adler-32 after the deflate data does not match it
  Interrupted,     // another chunk between IDAT chunks before the stream's end
  TooLittleData,   // the zlib stream ends before the last row
  TooMuchData,     // more rows than the picture has, or more data after the stream's end
  BadFilter,       // a row's filter type is not 0 to 4
};

// Why a picture file (BMP or PNG, told by its first bytes) was refused.
struct PictureRefusal {
  bool unknownFormat = false; // neither a BMP nor a PNG file
  DibRefusal dib = DibRefusal::None;
  PngRefusal png = PngRefusal::None;
  char chunk[5] = {}; // a PNG's chunk at fault, where there is one ("IDAT")
};

// Record why, where the caller asked; always false.
inline bool Refuse(DibRefusal *why, DibRefusal reason) {
  if (why != nullptr)
    *why = reason;
  return false;
}

// The reason in words, as a command line shows it after the file's name: "not a BMP or PNG
// file", "BMP: unsupported compression", "PNG: bad CRC in IDAT". Empty when nothing was refused.
std::string DescribeRefusal(const PictureRefusal &refusal);
