// The PNG writer: the header, the palette and IEND framed here, the rows filtered here and
// deflated by isa-l into IDAT chunks as they become final.
#include "codec/png_file.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/row_progress.h"
#include "codec/png_format.h"

namespace {

// Filtered rows are gathered and deflated in blocks of this size or more (a row and its filter
// byte always fit), and the compressed stream goes out in IDAT chunks of this size: few calls
// into the deflater and few chunk headers, yet the file leaves while later rows still fill.
constexpr std::size_t WriteBlockSize = std::size_t{256} << 10;

// Writes one chunk: its length, type, data and CRC.
bool WriteChunk(const ByteSink &sink, std::uint32_t type, const std::uint8_t *data,
                std::size_t size) {
  std::uint8_t header[ChunkHeaderSize], crc[ChunkCrcSize];
  PutBigEndian32(header, static_cast<std::uint32_t>(size));
  PutBigEndian32(header + 4, type);
  PutBigEndian32(crc, ChunkCrc(ChunkCrc(0, header + 4, 4), data, size));
  return sink(header, sizeof header) && (size == 0 || sink(data, size)) && sink(crc, sizeof crc);
}

// The PNG palette's length: the bitmap's table, grown to the highest index a pixel uses, and
// never longer than the depth allows.
int PaletteLength(const CDibImage &image) {
  const int limit = 1 << image.BitCount();
  int length = std::min(image.m_paletteCount, limit);
  if (length == limit)
    return length;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      length = std::max(length, image.GetPixelIndex(x, y) + 1);
  return length;
}

// What the rows pass through on their way to IDAT chunks.
struct PixelData {
  PixelData(const ByteSink &to, std::size_t rowBytes, bool indexed)
      : sink(to), stream(std::make_unique<isal_zstream>()), level(ISAL_DEF_LVL1_DEFAULT),
        rows(std::max(WriteBlockSize, rowBytes + 1)), out(WriteBlockSize),
        rgb(indexed ? 0 : 2 * rowBytes), up(rowBytes) {
    isal_deflate_init(stream.get());
    stream->level = 1;
    stream->level_buf = level.data();
    stream->level_buf_size = static_cast<std::uint32_t>(level.size());
    stream->gzip_flag = IGZIP_ZLIB; // the zlib header and Adler-32 a PNG needs
  }

  const ByteSink &sink;
  std::unique_ptr<isal_zstream> stream;
  std::vector<std::uint8_t> level;
  std::vector<std::uint8_t> rows; // filtered rows waiting for the deflater: rowsUsed bytes
  std::size_t rowsUsed = 0;
  std::vector<std::uint8_t> out; // the IDAT chunk being filled: outUsed bytes
  std::size_t outUsed = 0;
  std::vector<std::uint8_t> rgb; // 24- and 32-bit rows as RGB: this row and the one above
  std::vector<std::uint8_t> up;  // this row as its difference to the row above
};

// Deflates the gathered rows, and the end of the stream when `last`, sending out every chunk
// that fills.
bool Deflate(PixelData &data, bool last) {
  isal_zstream &stream = *data.stream;
  stream.next_in = data.rows.data();
  stream.avail_in = static_cast<std::uint32_t>(data.rowsUsed);
  stream.end_of_stream = last ? 1 : 0;
  stream.flush = NO_FLUSH;
  do {
    stream.next_out = data.out.data() + data.outUsed;
    stream.avail_out = static_cast<std::uint32_t>(data.out.size() - data.outUsed);
    if (isal_deflate(&stream) != COMP_OK)
      return false;
    data.outUsed = data.out.size() - stream.avail_out;
    if (data.outUsed == data.out.size() ||
        (last && stream.internal_state.state == ZSTATE_END && data.outUsed > 0)) {
      if (!WriteChunk(data.sink, ChunkIDAT, data.out.data(), data.outUsed))
        return false;
      data.outUsed = 0;
    }
  } while (stream.avail_in > 0 || (last && stream.internal_state.state != ZSTATE_END));
  data.rowsUsed = 0;
  return true;
}

// A byte's weight in the choice of filter: as a signed value's magnitude, so that small
// differences either way (and runs of zeros) weigh little.
inline unsigned Weight(std::uint8_t byte) { return byte < 128 ? byte : 256u - byte; }

// Appends the row, unfiltered or as its difference to the row above (`above`, none for the top
// row), whichever weighs less: "up" turns repeated rows and vertical gradients into runs of
// zeros (a smooth picture's gray result shrinks tenfold), while dithered rows compress best as
// they are.
void AppendRow(PixelData &data, const std::uint8_t *row, const std::uint8_t *above,
               std::size_t rowBytes) {
  std::uint8_t *target = data.rows.data() + data.rowsUsed;
  data.rowsUsed += rowBytes + 1;
  if (above != nullptr) {
    std::uint8_t *up = data.up.data();
    std::uint64_t none = 0, diff = 0;
    // 32-bit sums vectorize twice as wide; a stretch of 2^24 bytes cannot overflow them.
    constexpr std::size_t Stretch = std::size_t{1} << 24;
    for (std::size_t start = 0; start < rowBytes; start += Stretch) {
      const std::size_t end = std::min(rowBytes, start + Stretch);
      unsigned noneStretch = 0, diffStretch = 0;
      for (std::size_t i = start; i < end; ++i) {
        up[i] = static_cast<std::uint8_t>(row[i] - above[i]);
        noneStretch += Weight(row[i]);
        diffStretch += Weight(up[i]);
      }
      none += noneStretch;
      diff += diffStretch;
    }
    if (diff < none) {
      target[0] = 2;
      std::memcpy(target + 1, up, rowBytes);
      return;
    }
  }
  target[0] = 0;
  std::memcpy(target + 1, row, rowBytes);
}

// A 24- or 32-bit row (blue, green, red and perhaps a fourth byte) as RGB; the constant pixel
// size keeps the loop simple for the compiler.
template <std::size_t PixelBytes>
void ToRgb(const std::uint8_t *row, std::uint8_t *rgb, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    rgb[3 * x] = row[PixelBytes * x + 2];
    rgb[3 * x + 1] = row[PixelBytes * x + 1];
    rgb[3 * x + 2] = row[PixelBytes * x];
  }
}

// The signature, IHDR and, for an indexed image, PLTE.
bool WriteHead(const ByteSink &sink, const CDibImage &image, const std::uint8_t *palette,
               int paletteLength) {
  const bool indexed = paletteLength > 0;
  std::uint8_t header[13] = {};
  PutBigEndian32(header, static_cast<std::uint32_t>(image.Width()));
  PutBigEndian32(header + 4, static_cast<std::uint32_t>(image.Height()));
  header[8] = static_cast<std::uint8_t>(indexed ? image.BitCount() : 8);
  header[9] = indexed ? 3 : 2; // palette or RGB; deflate, filter method 0, not interlaced
  return sink(PngSignature, PngSignatureSize) &&
         WriteChunk(sink, ChunkIHDR, header, sizeof header) &&
         (!indexed || WriteChunk(sink, ChunkPLTE, palette, 3 * std::size_t(paletteLength)));
}

} // namespace

bool WritePng(const CDibImage &image, const ByteSink &sink) {
  const int bitCount = image.BitCount();
  if (!image.HasSection() || image.m_bits == nullptr ||
      (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32))
    return false;
  CFinalRows final(image);
  // A table shorter than the depth allows is grown by a look at every pixel (a converter's
  // never is).
  if (bitCount <= 8 && image.m_paletteCount < 1 << bitCount && !final.Wait(image.Height() - 1))
    return false;
  const int paletteLength = bitCount <= 8 ? PaletteLength(image) : 0;
  std::uint8_t palette[3 * MaxPaletteEntries];
  for (int i = 0; i < paletteLength; ++i) {
    palette[3 * i] = image.m_palette[i].rgbRed;
    palette[3 * i + 1] = image.m_palette[i].rgbGreen;
    palette[3 * i + 2] = image.m_palette[i].rgbBlue;
  }
  if (!WriteHead(sink, image, palette, paletteLength))
    return false;

  // Indexed rows pack pixels from the high bits down in both formats, so the bitmap's own rows
  // serve; 24- and 32-bit rows become RGB, the fourth byte dropped.
  const bool indexed = paletteLength > 0;
  const std::size_t width = static_cast<std::size_t>(image.Width());
  const std::size_t rowBytes =
      indexed ? (width * static_cast<std::size_t>(bitCount) + 7) / 8 : 3 * width;
  PixelData data(sink, rowBytes, indexed);
  const std::uint8_t *above = nullptr;
  for (int y = 0; y < image.Height(); ++y) {
    if (!final.Wait(y))
      return false;
    const std::uint8_t *row = image.PixelAddress(0, y);
    if (!indexed) {
      std::uint8_t *rgb = data.rgb.data() + (y % 2 == 0 ? 0 : rowBytes);
      if (bitCount == 24)
        ToRgb<3>(row, rgb, width);
      else
        ToRgb<4>(row, rgb, width);
      row = rgb;
    }
    if (data.rows.size() - data.rowsUsed < rowBytes + 1 && !Deflate(data, false))
      return false;
    AppendRow(data, row, above, rowBytes);
    above = row;
  }
  return Deflate(data, true) && WriteChunk(sink, ChunkIEND, nullptr, 0);
}
