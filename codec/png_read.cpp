// The PNG reader: one walk through the chunks, from the signature to the chunk that holds the end
// of the pixel data's zlib stream, each chunk's CRC checked as it ends. The pixel data is
// inflated into a batch of rows, each row unfiltered, stored into the image and handed on.
#include "codec/png_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/row_progress.h"
#include "codec/png_format.h"
#include "codec/png_inflate.h"
#include "codec/png_rows.h"

namespace {

// What one file may pull (see png_file.h for why each is safe): before the first IDAT chunk,
// the header and ancillary chunks, which are read past and never kept, so they cost only time.
constexpr std::uint64_t MaxBytesBeforePixels = std::uint64_t{256} << 20;
constexpr std::uint64_t MaxChunksBeforePixels = 4096;
// Then the pixel data: zlib's worst case adds little to the raw rows, so twice their size (and
// a MiB for tiny pictures) is plenty. Each further chunk's length, type and CRC come on top,
// however small the chunks; their number is bounded instead.
constexpr std::uint64_t PixelDataSlack = std::uint64_t{1} << 20;
constexpr std::uint64_t MaxPixelDataBytes = std::uint64_t{4} << 30;
constexpr std::uint64_t MaxChunks = std::uint64_t{1} << 26;
// A chunk's length has 31 bits.
constexpr std::uint32_t MaxChunkLength = 0x7FFFFFFF;
// The source is asked for this much at a time, whatever the chunks' sizes.
constexpr std::size_t InputBufferSize = std::size_t{64} << 10;
// isa-l inflates into this many bytes of rows at a time, or one row when longer: each call
// costs it a copy of its 32 KiB window, which a batch this large makes small, and the batch
// still stays in a core's cache while its rows are unfiltered and stored.
constexpr std::size_t RowBatchBytes = std::size_t{256} << 10;

// The bit depths each colour type allows.
bool ValidDepth(unsigned colorType, unsigned depth) {
  switch (colorType) {
  case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
  case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
  case 2:
  case 4:
  case 6: return depth == 8 || depth == 16;
  default: return false;
  }
}

class CPngReader {
public:
  CPngReader(const ByteSource &source, CDibImage &image)
      : m_source(source), m_image(image), m_buffer(new std::uint8_t[InputBufferSize]) {}

  bool Read() {
    return ReadSignature() && ReadHeader() && ReadMetadata() && MakeImage() && ReadPixels();
  }

  PngRefusal Refusal() const { return m_refusal; }
  std::uint32_t FaultyChunk() const { return m_faultyChunk; }

private:
  bool Fail(PngRefusal reason, std::uint32_t chunk = 0) {
    m_refusal = reason;
    m_faultyChunk = chunk;
    return false;
  }

  // ---- Input: the source through the buffer, each byte counted, a chunk's data into its CRC.

  bool Fill() {
    const std::ptrdiff_t got = m_source(m_buffer.get(), InputBufferSize);
    if (got == 0)
      return Fail(PngRefusal::Truncated, m_inChunk ? m_type : 0);
    if (got < 0 || static_cast<std::size_t>(got) > InputBufferSize)
      return Fail(PngRefusal::ReadError);
    m_at = 0;
    m_end = static_cast<std::size_t>(got);
    return true;
  }

  // The next `size` bytes into `data` (null: passed over); `chunkData` when they count into the
  // chunk's CRC.
  bool Pull(std::uint8_t *data, std::size_t size, bool chunkData) {
    while (size > 0) {
      if (m_at == m_end && !Fill())
        return false;
      const std::size_t count = std::min(size, m_end - m_at);
      const std::uint8_t *bytes = m_buffer.get() + m_at;
      if (chunkData)
        m_crc = ChunkCrc(m_crc, bytes, count);
      if (data != nullptr) {
        std::memcpy(data, bytes, count);
        data += count;
      }
      m_at += count;
      m_pulled += count;
      size -= count;
    }
    return true;
  }

  // The next chunk's length and type, held to the bounds.
  bool BeginChunk() {
    std::uint8_t header[ChunkHeaderSize];
    if (!Pull(header, ChunkHeaderSize, false))
      return false;
    m_length = BigEndian32(header);
    m_type = BigEndian32(header + 4);
    if (m_length > MaxChunkLength || std::any_of(header + 4, header + 8, [](std::uint8_t c) {
          return (c < 'A' || c > 'Z') && (c < 'a' || c > 'z');
        }))
      return Fail(PngRefusal::BadChunk);
    m_inChunk = true;
    m_crc = ChunkCrc(0, header + 4, 4);
    if (m_type == ChunkIDAT && !m_pixelData) {
      m_pixelData = true;
      m_limit = m_pulled + std::min(MaxPixelDataBytes, 2 * RawBytes() + PixelDataSlack);
    } else if (m_pixelData) {
      m_limit += ChunkHeaderSize + ChunkCrcSize; // the bound counts only the data
    }
    if (++m_chunks > (m_pixelData ? MaxChunks : MaxChunksBeforePixels) || m_pulled > m_limit ||
        std::uint64_t{m_length} + ChunkCrcSize > m_limit - m_pulled)
      return Fail(PngRefusal::TooLong);
    return true;
  }

  // The chunk's CRC, after its data.
  bool EndChunk() {
    std::uint8_t crc[ChunkCrcSize];
    if (!Pull(crc, ChunkCrcSize, false))
      return false;
    if (BigEndian32(crc) != m_crc)
      return Fail(PngRefusal::BadCrc, m_type);
    m_inChunk = false;
    return true;
  }

  // A chunk's data, into `data` (which has room for it) or passed over, and its CRC.
  bool ReadChunk(std::uint8_t *data = nullptr) { return Pull(data, m_length, true) && EndChunk(); }

  // ---- Before the pixel data.

  bool ReadSignature() {
    std::uint8_t signature[PngSignatureSize];
    if (!Pull(signature, PngSignatureSize, false) ||
        std::memcmp(signature, PngSignature, PngSignatureSize) != 0)
      return Fail(m_refusal == PngRefusal::ReadError ? m_refusal : PngRefusal::Signature);
    return true;
  }

  bool ReadHeader() {
    if (!BeginChunk())
      return false;
    if (m_type != ChunkIHDR)
      return Fail(PngRefusal::Misplaced, m_type);
    std::uint8_t data[13];
    if (m_length != sizeof data)
      return Fail(PngRefusal::BadHeader, ChunkIHDR);
    if (!ReadChunk(data))
      return false;
    PngHeader &h = m_header;
    h.width = BigEndian32(data);
    h.height = BigEndian32(data + 4);
    h.bitDepth = data[8];
    h.colorType = data[9];
    h.interlaced = data[12] == 1;
    // Compression and filter method 0, interlace method 0 or 1.
    if (h.width == 0 || h.width > MaxChunkLength || h.height == 0 || h.height > MaxChunkLength ||
        !ValidDepth(h.colorType, h.bitDepth) || data[10] != 0 || data[11] != 0 || data[12] > 1)
      return Fail(PngRefusal::BadHeader, ChunkIHDR);
    if (!WithinReadLimits(h.width, h.height))
      return Fail(PngRefusal::TooLarge);
    return true;
  }

  // The chunks up to the first IDAT, whose header is then read.
  bool ReadMetadata() {
    for (;;) {
      if (!BeginChunk())
        return false;
      switch (m_type) {
      case ChunkIDAT:
        if (m_header.colorType == 3 && !m_havePalette)
          return Fail(PngRefusal::MissingPalette);
        return true;
      case ChunkPLTE:
        if (!ReadPalette())
          return false;
        break;
      case ChunktRNS:
        if (!ReadTransparency())
          return false;
        break;
      default:
        // IHDR again, IEND before the pixels, or a critical chunk we do not know.
        if (m_type == ChunkIHDR || m_type == ChunkIEND)
          return Fail(PngRefusal::Misplaced, m_type);
        if (IsCriticalChunk(m_type))
          return Fail(PngRefusal::UnknownCritical, m_type);
        // Anything else (gamma, profiles, text, private chunks) is read past unread.
        if (!ReadChunk())
          return false;
        break;
      }
    }
  }

  // One palette, before tRNS, never for gray; a palette longer than the depth addresses is
  // read, and its extra entries ignored.
  bool ReadPalette() {
    if (m_havePalette)
      return Fail(PngRefusal::Misplaced, ChunkPLTE);
    if ((m_header.colorType & 2) == 0 || m_length == 0 || m_length > sizeof m_palette ||
        m_length % 3 != 0)
      return ReadChunk() && Fail(PngRefusal::BadPalette, ChunkPLTE);
    if (!ReadChunk(m_palette))
      return false;
    if (m_haveTransparency)
      return Fail(PngRefusal::Misplaced, ChunktRNS);
    m_havePalette = true;
    const int limit = m_header.colorType == 3 ? 1 << m_header.bitDepth : 256;
    m_entries = std::min(static_cast<int>(m_length / 3), limit);
    return true;
  }

  // One tRNS: a gray or RGB key, or at most one alpha for each palette entry, after PLTE.
  bool ReadTransparency() {
    PngRefusal fault = PngRefusal::None;
    switch (m_header.colorType) {
    case 0:
    case 2:
      if (m_length != (m_header.colorType == 0 ? 2u : 6u))
        fault = PngRefusal::BadTransparency;
      break;
    case 3:
      if (!m_havePalette)
        fault = PngRefusal::Misplaced;
      else if (m_length == 0 || m_length > static_cast<std::uint32_t>(m_entries))
        fault = PngRefusal::BadTransparency;
      break;
    default: fault = PngRefusal::BadTransparency; break; // an alpha channel has no tRNS
    }
    if (m_haveTransparency)
      fault = PngRefusal::Misplaced;
    if (fault != PngRefusal::None)
      return ReadChunk() && Fail(fault, ChunktRNS);
    if (!ReadChunk(m_transparency))
      return false;
    m_haveTransparency = true;
    m_transparencySize = m_length;
    return true;
  }

  bool MakeImage() {
    if (!m_image.Create(static_cast<int>(m_header.width), static_cast<int>(m_header.height), 24))
      return Fail(PngRefusal::NoSection);
    // Whoever waits for the rows may refuse the picture's size now, before any pixel data.
    return PublishRows(m_image, 0) || Fail(PngRefusal::Unwanted);
  }

  // ---- The pixel data.

  // The rows as the file lays them out, a filter byte each.
  std::uint64_t RawBytes() const {
    PngPass passes[7];
    std::uint64_t bytes = 0;
    for (int p = 0, count = PngPasses(m_header, passes); p < count; ++p)
      bytes += std::uint64_t{passes[p].rows} * (passes[p].rowBytes + 1);
    return bytes;
  }

  // Moves on to the next IDAT chunk once this one's data is all taken (its CRC checked): any
  // other chunk there interrupts the pixel data.
  bool NextIdatData() {
    while (m_idatLeft == 0) {
      if (!EndChunk() || !BeginChunk())
        return false;
      if (m_type != ChunkIDAT)
        return Fail(PngRefusal::Interrupted, m_type);
      m_idatLeft = m_length;
    }
    // The pieces libpng would take: at most 8 KiB, counted from the chunk's start.
    if (m_pieceLeft == 0)
      m_pieceLeft = std::min<std::uint64_t>(m_idatLeft, CPngInflater::PieceSize);
    return true;
  }

  // The next `size` bytes of pixel data, across chunks.
  bool PullPixelData(std::uint8_t *data, std::size_t size) {
    while (size > 0) {
      if (!NextIdatData())
        return false;
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_pieceLeft));
      if (!Pull(data, count, true))
        return false;
      m_idatLeft -= count;
      m_pieceLeft -= count;
      data += count;
      size -= count;
    }
    return true;
  }

  // Gives the inflater its next input: for zlib a piece as libpng takes it, for isa-l what the
  // buffer holds of this chunk, in place.
  bool Feed(CPngInflater &inflater) {
    if (!NextIdatData())
      return false;
    if (inflater.ByRows()) {
      const auto size = static_cast<std::size_t>(m_pieceLeft);
      if (!PullPixelData(m_piece, size))
        return false;
      inflater.Give(m_piece, size);
      return true;
    }
    if (m_at == m_end && !Fill())
      return false;
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(m_idatLeft, m_end - m_at));
    const std::uint8_t *data = m_buffer.get() + m_at;
    m_crc = ChunkCrc(m_crc, data, size);
    inflater.Give(data, size);
    m_at += size;
    m_pulled += size;
    m_idatLeft -= size;
    m_pieceLeft = 0;
    return true;
  }

  // One call of the inflater into [out, out + room). zlib is fed first whenever its input is
  // used up, as libpng feeds it; isa-l only once it made nothing of what it holds, since it
  // takes input ahead and may hold the stream's last rows when the last chunk is all taken.
  bool Inflate(CPngInflater &inflater, std::uint8_t *out, std::size_t room, std::size_t &produced,
               CPngInflater::Result &result) {
    if (inflater.ByRows() && inflater.Hungry() && !Feed(inflater))
      return false;
    result = inflater.Inflate(out, room, produced);
    switch (result) {
    case CPngInflater::Result::BadData: return Fail(PngRefusal::BadDeflate, ChunkIDAT);
    case CPngInflater::Result::BadAdler: return Fail(PngRefusal::BadAdler, ChunkIDAT);
    case CPngInflater::Result::Going: return produced > 0 || !inflater.Hungry() || Feed(inflater);
    case CPngInflater::Result::Ended: return true;
    }
    return true;
  }

  bool ReadPixels();

  const ByteSource &m_source;
  CDibImage &m_image;
  PngRefusal m_refusal = PngRefusal::None;
  std::uint32_t m_faultyChunk = 0;
  // The input: the buffer holds [m_at, m_end) still to take; m_pulled counts what was taken,
  // and may reach m_limit.
  std::unique_ptr<std::uint8_t[]> m_buffer;
  std::size_t m_at = 0, m_end = 0;
  std::uint64_t m_pulled = 0, m_limit = MaxBytesBeforePixels, m_chunks = 0;
  // The chunk being read: its data's length, its type, its CRC so far.
  std::uint32_t m_length = 0, m_type = 0, m_crc = 0;
  bool m_inChunk = false, m_pixelData = false;
  // What IHDR, PLTE and tRNS say.
  PngHeader m_header;
  bool m_havePalette = false, m_haveTransparency = false;
  int m_entries = 0;
  std::uint8_t m_palette[768] = {};
  std::uint8_t m_transparency[256] = {};
  std::size_t m_transparencySize = 0;
  // The pixel data: what is left of this IDAT chunk, and of libpng's piece of it.
  std::uint64_t m_idatLeft = 0, m_pieceLeft = 0;
  std::uint8_t m_piece[CPngInflater::PieceSize];
};

bool CPngReader::ReadPixels() {
  m_idatLeft = m_length;
  std::uint8_t header[2];
  if (!PullPixelData(header, 2))
    return false;
  // Method 8 (deflate), a window of at most 32 KiB, the check bits, no preset dictionary.
  if ((header[0] * 256u + header[1]) % 31 != 0 || (header[0] & 0x0F) != 8 || header[0] >> 4 > 7 ||
      (header[1] & 0x20) != 0)
    return Fail(PngRefusal::BadZlibHeader, ChunkIDAT);
  CPngInflater inflater(header);

  PngPass passes[7];
  const int passCount = PngPasses(m_header, passes);
  std::uint64_t left = RawBytes();
  std::size_t widest = 0;
  for (int p = 0; p < passCount; ++p)
    widest = std::max(widest, passes[p].rowBytes + 1);
  const std::size_t capacity = inflater.ByRows() ? widest : std::max(widest, RowBatchBytes);
  const std::unique_ptr<std::uint8_t[]> batch(new std::uint8_t[capacity]);
  const std::unique_ptr<std::uint8_t[]> prior(new std::uint8_t[widest]);
  const CPngPixels pixels(m_header, m_palette, m_entries, m_transparency, m_transparencySize);
  const unsigned distance = PngFilterDistance(m_header);

  // The batch holds [0, filled): rows from `start` on are not complete yet. `above` is the
  // last row undone, in the batch or copied to `prior`; null at a pass's start.
  std::size_t start = 0, filled = 0;
  const std::uint8_t *above = nullptr;
  int pass = 0;
  std::uint32_t row = 0;
  CPngInflater::Result result = CPngInflater::Result::Going;
  while (left > 0) {
    std::size_t room = capacity - filled;
    if (inflater.ByRows())
      room = start + passes[pass].rowBytes + 1 - filled;
    room = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
    std::size_t produced = 0;
    if (!Inflate(inflater, batch.get() + filled, room, produced, result))
      return false; // what came with the break may be garbage: isa-l may write on past it
    filled += produced;
    left -= produced;
    if (result == CPngInflater::Result::Ended && left > 0)
      return Fail(PngRefusal::TooLittleData, ChunkIDAT);

    while (pass < passCount && filled - start > passes[pass].rowBytes) {
      const PngPass &p = passes[pass];
      std::uint8_t *bytes = batch.get() + start;
      if (!UnfilterPngRow(bytes[0], bytes + 1, above, p.rowBytes, distance))
        return Fail(PngRefusal::BadFilter, ChunkIDAT);
      const auto y = static_cast<int>(p.y0 + row * p.dy);
      pixels.Store(bytes + 1, p.width, m_image.PixelAddress(static_cast<int>(p.x0), y), 3 * p.dx);
      // An interlaced picture's rows are final only after the last pass.
      if (!m_header.interlaced && !PublishRows(m_image, y + 1))
        return Fail(PngRefusal::Unwanted);
      above = bytes + 1;
      start += p.rowBytes + 1;
      if (++row == p.rows) {
        ++pass;
        row = 0;
        above = nullptr;
      }
    }
    // Room for what comes next: the incomplete row moves to the front, the last one undone to
    // `prior`.
    if (start > 0 && (filled == capacity || inflater.ByRows())) {
      if (above != nullptr && above != prior.get()) {
        std::memcpy(prior.get(), above, passes[pass].rowBytes);
        above = prior.get();
      }
      std::memmove(batch.get(), batch.get() + start, filled - start);
      filled -= start;
      start = 0;
    }
  }

  // Every row is in: the stream must end here, with nothing more inflated, its Adler-32 right,
  // and its last chunk must end with it.
  while (result != CPngInflater::Result::Ended) {
    std::size_t produced = 0;
    if (!Inflate(inflater, batch.get(), capacity, produced, result))
      return false;
    if (produced > 0)
      return Fail(PngRefusal::TooMuchData, ChunkIDAT);
  }
  if (inflater.Overran() || m_idatLeft > 0)
    return Fail(PngRefusal::TooMuchData, ChunkIDAT);
  return EndChunk();
}

} // namespace

bool HasPngSignature(const std::uint8_t *data, std::size_t size) {
  return data != nullptr && size >= PngSignatureSize &&
         std::memcmp(data, PngSignature, PngSignatureSize) == 0;
}

bool ReadPng(const ByteSource &source, CDibImage &image, PictureRefusal *why) {
  CPngReader reader(source, image);
  bool read = false;
  try {
    read = reader.Read();
  } catch (...) {
    if (image.m_rowProgress == nullptr)
      image.Release();
    throw;
  }
  // Rows already handed on may still be read on another thread, which stops at the failure;
  // the image's owner releases it then.
  if (!read && image.m_rowProgress == nullptr)
    image.Release();
  if (why != nullptr) {
    *why = PictureRefusal();
    why->png = read ? PngRefusal::None : reader.Refusal();
    if (!read && reader.FaultyChunk() != 0)
      PutBigEndian32(reinterpret_cast<std::uint8_t *>(why->chunk), reader.FaultyChunk());
  }
  return read;
}

bool ReadPngBytes(const std::uint8_t *data, std::size_t size, CDibImage &image,
                  PictureRefusal *why) {
  std::size_t offset = 0;
  const ByteSource source = [&](std::uint8_t *buffer, std::size_t wanted) -> std::ptrdiff_t {
    const std::size_t count = std::min(wanted, size - offset);
    if (count > 0)
      std::memcpy(buffer, data + offset, count);
    offset += count;
    return static_cast<std::ptrdiff_t>(count);
  };
  return ReadPng(source, image, why);
}
