// The invariants of one request on a PNG file (see round_trip_check.h): read the file, both
// whole and in small pieces, convert the picture, write the result as a PNG and read that
// again.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "app/core/conversion_mode.h"
#include "codec/png_file.h"
#include "tests/fuzz/round_trip_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A picture declaring more pixels than this (but no more than the reader takes) is not read:
// a valid one that large takes seconds, which a fuzzer should spend on other inputs.
constexpr std::uint64_t MaxCheckedPixels = std::uint64_t{1} << 22;

std::string Num(std::uint64_t v) { return std::to_string(v); }

std::uint32_t BigEndian32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

void PutBigEndian32(std::uint8_t *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Every whole chunk gets the CRC of its type and data.
void RepairCrcs(Bytes &png) {
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint64_t length = BigEndian32(&png[at]);
    if (length > png.size() - at - 12)
      return;
    const uLong crc = crc32(0L, &png[at + 4], static_cast<uInt>(length + 4));
    PutBigEndian32(&png[at + 8 + length], static_cast<std::uint32_t>(crc));
    at += 12 + static_cast<std::size_t>(length);
  }
}

// The size the IHDR chunk declares, read here from the bytes alone.
struct DeclaredSize {
  bool present = false;
  std::uint64_t width = 0, height = 0;
};

DeclaredSize Declared(const Bytes &png) {
  DeclaredSize size;
  if (png.size() >= 24 && HasPngSignature(png.data(), png.size()) &&
      std::memcmp(&png[12], "IHDR", 4) == 0) {
    size.present = true;
    size.width = BigEndian32(&png[16]);
    size.height = BigEndian32(&png[20]);
  }
  return size;
}

bool SamePixels(const CDibImage &a, const CDibImage &b) {
  return a.Width() == b.Width() && a.Height() == b.Height() && a.BitCount() == b.BitCount() &&
         a.RowsSize() == b.RowsSize() && std::memcmp(a.m_bits, b.m_bits, a.RowsSize()) == 0;
}

// Which fault of the pixel data's stream a refusal names may depend on how much of it the
// inflater held: isa-l can write rows past a fault before it reports the fault, or meet a bad
// filter type in a row before the fault when it has less. Such faults compare as one.
PngRefusal FaultKind(PngRefusal why) {
  switch (why) {
  case PngRefusal::BadAdler:
  case PngRefusal::BadFilter:
  case PngRefusal::TooLittleData:
  case PngRefusal::TooMuchData: return PngRefusal::BadDeflate;
  default: return why;
  }
}

// The reader's verdict must not depend on how its source splits the input: read it whole,
// then a byte at a time, then in pieces of 1 to 13 bytes.
std::string ReadBothWays(const Bytes &input, CDibImage &image, PictureRefusal &why,
                         bool &accepted) {
  accepted = ReadPngBytes(input.data(), input.size(), image, &why);
  for (const bool bytewise : {true, false}) {
    std::size_t at = 0, piece = 0;
    const ByteSource pieces = [&](std::uint8_t *buffer, std::size_t size) -> std::ptrdiff_t {
      const std::size_t count =
          std::min({size, input.size() - at, bytewise ? 1 : piece++ % 13 + 1});
      if (count > 0)
        std::memcpy(buffer, input.data() + at, count);
      at += count;
      return static_cast<std::ptrdiff_t>(count);
    };
    CDibImage again;
    PictureRefusal whyAgain;
    const bool acceptedAgain = ReadPng(pieces, again, &whyAgain);
    if (accepted != acceptedAgain || FaultKind(why.png) != FaultKind(whyAgain.png) ||
        std::strcmp(why.chunk, whyAgain.chunk) != 0)
      return "read in pieces, the verdict differs (" + DescribeRefusal(why) + ", " +
             DescribeRefusal(whyAgain) + ")";
    if (accepted && !SamePixels(image, again))
      return "read in pieces, the pixels differ";
  }
  return {};
}

std::string CheckVerdict(const Bytes &input, const DeclaredSize &declared, bool accepted,
                         PngRefusal why, const CDibImage &image) {
  if (!accepted) {
    if (why == PngRefusal::None)
      return "refused without a reason";
    if (image.HasSection())
      return "refused, but the image kept a section";
    if (why == PngRefusal::TooLarge &&
        !(declared.present && (declared.width > MaxReadSide || declared.height > MaxReadSide ||
                               declared.width * declared.height > MaxReadPixels)))
      return "refused as too large a picture of " + Num(declared.width) + " x " +
             Num(declared.height);
    if (why == PngRefusal::Signature && HasPngSignature(input.data(), input.size()))
      return "refused the PNG signature";
    return {};
  }
  if (why != PngRefusal::None)
    return "accepted with a refusal reason";
  if (!declared.present)
    return "accepted a file that does not start with the signature and IHDR";
  if (!image.HasSection() || image.m_bits == nullptr ||
      static_cast<std::uint64_t>(image.Width()) != declared.width ||
      static_cast<std::uint64_t>(image.Height()) != declared.height)
    return "accepted as " + Num(static_cast<std::uint64_t>(image.Width())) + " x " +
           Num(static_cast<std::uint64_t>(image.Height())) + ", declared " + Num(declared.width) +
           " x " + Num(declared.height);
  if (declared.width * declared.height > MaxReadPixels || declared.width > MaxReadSide ||
      declared.height > MaxReadSide)
    return "accepted more pixels than the limits";
  const DibInfoHeader &h = image.m_header;
  if (h.biSize != 40 || h.biBitCount != 24 || h.biCompression != 0 || image.m_paletteCount != 0 ||
      static_cast<std::uint64_t>(image.m_stride) != (3 * declared.width + 3) / 4 * 4)
    return "the image is not a plain 24-bit one";
  return {};
}

// `image` written as a PNG: indexed at its depth with its table as PLTE (grown to the highest
// index used, never past the depth), else RGB; and read back with the same colours.
std::string CheckPngRoundTrip(const CDibImage &image) {
  Bytes png;
  if (!WritePng(image, [&](const std::uint8_t *data, std::size_t size) {
        png.insert(png.end(), data, data + size);
        return true;
      }))
    return "the image could not be written as a PNG";
  const DeclaredSize declared = Declared(png);
  const int bitCount = image.BitCount();
  const bool indexed = bitCount <= 8;
  if (!declared.present || declared.width != static_cast<std::uint64_t>(image.Width()) ||
      declared.height != static_cast<std::uint64_t>(image.Height()) ||
      png[24] != (indexed ? bitCount : 8) || png[25] != (indexed ? 3 : 2) || png[28] != 0)
    return "the written IHDR does not describe the image";
  if (indexed) {
    const std::uint32_t length = png.size() >= 41 ? BigEndian32(&png[33]) : 0;
    if (png.size() < 45 + std::size_t{length} || std::memcmp(&png[37], "PLTE", 4) != 0)
      return "no PLTE behind IHDR";
    const int limit = 1 << bitCount;
    int used = std::min(image.m_paletteCount, limit);
    for (int y = 0; y < image.Height(); ++y)
      for (int x = 0; x < image.Width(); ++x)
        used = std::max(used, image.GetPixelIndex(x, y) + 1);
    if (length != 3 * static_cast<std::uint32_t>(used))
      return "PLTE holds " + Num(length / 3) + " entries, expected " + Num(used);
    for (int i = 0; i < used; ++i) {
      const RgbQuad &q = image.m_palette[i];
      if (png[41 + 3 * i] != q.rgbRed || png[42 + 3 * i] != q.rgbGreen ||
          png[43 + 3 * i] != q.rgbBlue)
        return "PLTE entry " + Num(i) + " differs from the table";
    }
  }
  CDibImage again;
  PictureRefusal why;
  if (!ReadPngBytes(png.data(), png.size(), again, &why))
    return "the written PNG is refused (" + DescribeRefusal(why) + ")";
  if (again.Width() != image.Width() || again.Height() != image.Height())
    return "the written PNG reads back at another size";
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      if (again.GetPixelColor(x, y) != image.GetPixelColor(x, y))
        return "the written PNG reads back with pixel " + Num(x) + ", " + Num(y) + " changed";
  return {};
}

// ---- libpng as the oracle: every check on (CRC errors and benign errors are errors, the
// Adler-32 checked), the rows expanded by the rules png_file.h states. libpng lacks three of the
// reader's checks, which are added here: IHDR comes first (libpng lets a chunk it skips come
// before it); the stream ends with the chunk that ends it, every CRC to there right (libpng
// stops looking once the last row is in and its piece of input is used up); and the limits.
// The reader lacks one of zlib's (CompareWithLibpng).

struct Decoded {
  bool accepted = false;
  std::string why;
  std::uint32_t width = 0, height = 0;
  Bytes pixels; // blue, green, red, top row first
};

struct LibpngInput {
  const Bytes *png;
  std::size_t at = 0;
  std::string error;
};

void ReadInput(png_structp png, png_bytep out, std::size_t size) {
  auto &input = *static_cast<LibpngInput *>(png_get_io_ptr(png));
  if (size > input.png->size() - input.at)
    png_error(png, "truncated");
  std::memcpy(out, input.png->data() + input.at, size);
  input.at += size;
}
[[noreturn]] void OnError(png_structp png, png_const_charp message) {
  static_cast<LibpngInput *>(png_get_error_ptr(png))->error = message;
  png_longjmp(png, 1);
}
void OnWarning(png_structp, png_const_charp) {}

struct Format {
  png_uint_32 width = 0, height = 0;
  int fileDepth = 0, fileChannels = 0, channels = 0, depth = 0;
  bool interlaced = false;
  std::size_t rowBytes = 0;
};

// Plain values only in the frames that call setjmp.
bool LibpngHeader(png_structp png, png_infop info, Format &format) {
  if (setjmp(png_jmpbuf(png)) != 0)
    return false;
  png_set_benign_errors(png, 0);
  png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  png_set_user_limits(png, MaxReadSide, MaxReadSide);
  png_set_chunk_malloc_max(png, std::size_t{256} << 20);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  png_read_info(png, info);
  format.width = png_get_image_width(png, info);
  format.height = png_get_image_height(png, info);
  format.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  format.fileDepth = png_get_bit_depth(png, info);
  format.fileChannels = png_get_channels(png, info);
  if (!WithinReadLimits(format.width, format.height))
    png_error(png, "beyond the read limits");
  // A colour key beyond the bit depth matches nothing: libpng would compare its low bits.
  png_color_16p key = nullptr;
  if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE &&
      png_get_tRNS(png, info, nullptr, nullptr, &key) != 0 && key != nullptr &&
      format.fileDepth < 16 &&
      std::max({key->gray, key->red, key->green, key->blue}) >> format.fileDepth != 0)
    png_set_expand_gray_1_2_4_to_8(png);
  else
    png_set_expand(png);
  png_set_gray_to_rgb(png);
  png_read_update_info(png, info);
  format.channels = png_get_channels(png, info);
  format.depth = png_get_bit_depth(png, info);
  format.rowBytes = png_get_rowbytes(png, info);
  return true;
}

unsigned Reduce(const png_byte *p, bool wide) {
  return wide ? ((p[0] << 8 | p[1]) * 255u + 32767) / 65535 : *p;
}
unsigned OverWhite(unsigned c, unsigned a) { return (c * a + 255 * (255 - a) + 127) / 255; }

bool LibpngRows(png_structp png, const Format &format, png_bytep row, std::uint8_t *pixels) {
  if (setjmp(png_jmpbuf(png)) != 0)
    return false;
  const bool wide = format.depth == 16;
  const int sample = wide ? 2 : 1;
  for (int pass = 0; pass < (format.interlaced ? 7 : 1); ++pass) {
    const png_uint_32 columns =
        format.interlaced ? PNG_PASS_COLS(format.width, pass) : format.width;
    const png_uint_32 rows = format.interlaced ? PNG_PASS_ROWS(format.height, pass) : format.height;
    if (columns == 0 || rows == 0)
      continue;
    for (png_uint_32 r = 0; r < rows; ++r) {
      png_read_row(png, row, nullptr);
      const png_uint_32 y = format.interlaced ? PNG_ROW_FROM_PASS_ROW(r, pass) : r;
      for (png_uint_32 i = 0; i < columns; ++i) {
        const png_uint_32 x = format.interlaced ? PNG_COL_FROM_PASS_COL(i, pass) : i;
        const png_byte *in = row + std::size_t{i} * format.channels * sample;
        const unsigned alpha = format.channels == 4 ? Reduce(in + 3 * sample, wide) : 255;
        std::uint8_t *out = pixels + (std::size_t{y} * format.width + x) * 3;
        for (int c = 0; c < 3; ++c)
          out[2 - c] = static_cast<std::uint8_t>(OverWhite(Reduce(in + c * sample, wide), alpha));
      }
    }
  }
  return true;
}

// The stream holds exactly the raw rows and ends with an IDAT chunk, the chunks to there in one
// run with their CRCs right.
bool EndsWithItsChunk(const Bytes &png, const Format &format) {
  std::uint64_t raw = 0;
  const auto bits = static_cast<unsigned>(format.fileDepth * format.fileChannels);
  for (int pass = 0; pass < (format.interlaced ? 7 : 1); ++pass) {
    const png_uint_32 columns =
        format.interlaced ? PNG_PASS_COLS(format.width, pass) : format.width;
    const png_uint_32 rows = format.interlaced ? PNG_PASS_ROWS(format.height, pass) : format.height;
    if (columns > 0 && rows > 0)
      raw += std::uint64_t{rows} * ((std::uint64_t{columns} * bits + 7) / 8 + 1);
  }
  z_stream stream{};
  inflateInit(&stream);
  std::uint8_t scrap[4096];
  bool pixelData = false, ended = false;
  for (std::size_t at = 8; !ended && at + 12 <= png.size();) {
    const std::uint32_t length = BigEndian32(&png[at]);
    const bool idat = std::memcmp(&png[at + 4], "IDAT", 4) == 0;
    if ((pixelData && !idat) || length > png.size() - at - 12)
      break;
    pixelData = idat;
    const std::uint8_t *data = &png[at + 8];
    at += 12 + std::size_t{length};
    if (!pixelData)
      continue;
    if (crc32(0, data - 4, length + 4) != BigEndian32(data + length))
      break;
    stream.next_in = const_cast<std::uint8_t *>(data);
    stream.avail_in = length;
    int result = Z_OK;
    while (result == Z_OK && stream.avail_in > 0) {
      stream.next_out = scrap;
      stream.avail_out = sizeof scrap;
      result = inflate(&stream, Z_NO_FLUSH);
    }
    ended = result == Z_STREAM_END && stream.avail_in == 0 && stream.total_out == raw;
    if (result != Z_OK)
      break;
  }
  inflateEnd(&stream);
  return ended;
}

Decoded Libpng(const Bytes &png) {
  Decoded decoded;
  if (png.size() < 16 || std::memcmp(&png[12], "IHDR", 4) != 0) {
    decoded.why = "IHDR not first";
    return decoded;
  }
  LibpngInput input{&png, 0, {}};
  png_structp read = png_create_read_struct(PNG_LIBPNG_VER_STRING, &input, OnError, OnWarning);
  png_infop info = png_create_info_struct(read);
  png_set_read_fn(read, &input, ReadInput);
  Format format;
  if (LibpngHeader(read, info, format)) {
    Bytes row(format.rowBytes);
    decoded.pixels.resize(std::size_t{format.width} * format.height * 3);
    decoded.accepted = LibpngRows(read, format, row.data(), decoded.pixels.data());
  }
  png_destroy_read_struct(&read, &info, nullptr);
  decoded.why = input.error;
  if (decoded.accepted && !EndsWithItsChunk(png, format)) {
    decoded.accepted = false;
    decoded.why = "the stream does not end with its chunk";
  }
  decoded.width = format.width;
  decoded.height = format.height;
  return decoded;
}

Decoded Ours(const Bytes &png) {
  Decoded decoded;
  CDibImage image;
  PictureRefusal why;
  decoded.accepted = ReadPngBytes(png.data(), png.size(), image, &why);
  decoded.why = DescribeRefusal(why);
  if (decoded.accepted) {
    decoded.width = static_cast<std::uint32_t>(image.Width());
    decoded.height = static_cast<std::uint32_t>(image.Height());
    for (int y = 0; y < image.Height(); ++y)
      decoded.pixels.insert(decoded.pixels.end(), image.RowAddress(y),
                            image.RowAddress(y) + 3 * std::size_t(image.Width()));
  }
  return decoded;
}

// Whether the reader and libpng agree on a PNG file: both refuse it, or both read the same
// pixels. Empty when they do.
std::string CompareWithLibpng(const Bytes &png) {
  const Decoded oracle = Libpng(png), ours = Ours(png);
  // The one difference allowed: isa-l inflates with a Huffman code that leaves codes unused (as
  // long as the data needs none of them), which zlib refuses and no encoder writes.
  if (ours.accepted && !oracle.accepted &&
      (oracle.why.ends_with("lengths set") || oracle.why.ends_with("distances set")))
    return {};
  if (ours.accepted != oracle.accepted)
    return std::string("libpng ") + (oracle.accepted ? "reads it" : "refuses it: " + oracle.why) +
           ", the reader " + (ours.accepted ? "reads it" : "refuses it: " + ours.why);
  if (ours.accepted &&
      (ours.width != oracle.width || ours.height != oracle.height || ours.pixels != oracle.pixels))
    return "libpng and the reader read other pixels";
  return {};
}

} // namespace

std::string CheckPngFileRequest(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return {};
  const int mode = data[0] % ConversionModeCount;
  // An exact-size copy, so that an address sanitizer sees every byte read past the end.
  Bytes input(data + 1, data + size);
  if (data[0] & 0x80)
    RepairCrcs(input);
  const DeclaredSize declared = Declared(input);
  if (declared.present && declared.width * declared.height > MaxCheckedPixels &&
      declared.width <= MaxReadSide && declared.height <= MaxReadSide &&
      declared.width * declared.height <= MaxReadPixels)
    return {};

  CDibImage source;
  PictureRefusal why;
  bool accepted = false;
  if (std::string failure = ReadBothWays(input, source, why, accepted); !failure.empty())
    return failure;
  if (std::string failure = CheckVerdict(input, declared, accepted, why.png, source);
      !failure.empty())
    return failure;
  if (std::string failure = CompareWithLibpng(input); !failure.empty())
    return failure;
  if (!accepted)
    return {};
  if (std::uint64_t{static_cast<std::uint32_t>(source.Width())} *
          static_cast<std::uint32_t>(source.Height()) <=
      MaxCheckedDestinationPixels)
    if (std::string failure = CheckPngRoundTrip(source); !failure.empty())
      return "source: " + failure;
  return CheckConversion(source, mode, CheckPngRoundTrip);
}
