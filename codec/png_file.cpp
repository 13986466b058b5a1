#include "codec/png_file.h"
#include "bitmap/row_progress.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

// libpng reports every error by longjmp out of its own frames back to the setjmp in ours. A
// longjmp that skips a C++ destructor is undefined, so the functions that call setjmp below
// hold only plain values, and everything with a destructor (the row buffer, the image, the
// libpng structures' guard) lives in their callers, which a longjmp never crosses. The
// callbacks libpng calls run C++ code (the source, the sink) only inside a function that
// catches everything and returns, and raise the libpng error after that function is gone.

namespace {

constexpr std::size_t SignatureSize = 8;
// Signature, then the IHDR chunk up to its width and height: enough to tell why libpng
// refused a header.
constexpr std::size_t HeadSize = 24;
// A chunk's length and type come before its data, its CRC after it.
constexpr std::size_t ChunkHeaderSize = 8;
constexpr std::uint64_t ChunkFrameSize = 12;

// What one file may pull, whatever its header says (see the header for why each is safe):
// before the first IDAT chunk, the header and ancillary chunks, which are read past (their
// CRCs checked) and never kept, so they cost only time: a real file has a few dozen taking a
// few MiB (a large ICC profile, an XMP packet, a private editor chunk of tens of MiB at most).
constexpr std::uint64_t MaxBytesBeforePixels = std::uint64_t{256} << 20;
constexpr std::uint64_t MaxChunksBeforePixels = 4096;
// Then the pixel data: zlib's worst case adds little to the raw rows, so twice their size
// (and a MiB for tiny pictures) is plenty, never more than the largest picture's 16-bit RGBA
// rows take. Each IDAT chunk's length, type and CRC come on top, however small the chunks;
// their number is bounded instead, so that a file of empty chunks ends within seconds.
constexpr std::uint64_t PixelDataSlack = std::uint64_t{1} << 20;
constexpr std::uint64_t MaxPngBytes = std::uint64_t{4} << 30;
constexpr std::uint64_t MaxChunks = std::uint64_t{1} << 26;
// libpng refuses a chunk longer than this before looking at it; nothing before the pixels can
// be longer anyway. Ancillary chunks are skipped, so the cache bounds only what a libpng
// release might still keep.
constexpr png_alloc_size_t MaxChunkBytes = MaxBytesBeforePixels;
constexpr png_uint_32 MaxKeptChunks = 128;
// The source is asked for this much at a time, so that a stream of small chunks costs no
// more calls to it than one of large ones.
constexpr std::size_t InputBufferSize = std::size_t{64} << 10;

// libpng's errors end in the setjmp of the function that called it; its messages and
// warnings are for a developer, and the user sees the read message instead.
[[noreturn]] void OnPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnPngWarning(png_structp, png_const_charp) {}

// ---------------------------------------------------------------------------------------------
// Reading

std::uint32_t BigEndian32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

class CStandIn;

struct ReadContext {
  const ByteSource *source = nullptr;
  CStandIn *standIn = nullptr; // what libpng reads
  // What the source delivered and libpng has not taken yet: [buffer + taken, buffer + held).
  std::uint8_t *buffer = nullptr;
  std::size_t taken = 0;
  std::size_t held = 0;
  // Bytes handed to libpng, and how far they may go.
  std::uint64_t pulled = 0;
  std::uint64_t limit = MaxBytesBeforePixels;
  std::uint8_t head[HeadSize]{};
  // The chunks as they pass: where the next one starts, its length and type so far, how many
  // have begun, and whether the pixel data has.
  std::uint64_t nextChunk = SignatureSize;
  std::uint8_t chunkHeader[ChunkHeaderSize]{};
  std::uint64_t chunks = 0;
  bool pixelData = false;
  PngRefusal refusal = PngRefusal::None;
  std::exception_ptr exception;
};

// Follows the chunk structure through the bytes [context.pulled - length, context.pulled),
// just handed over at `data`, and applies the bounds on chunks.
PngRefusal FollowChunks(ReadContext &context, const std::uint8_t *data, std::size_t length) {
  const std::uint64_t start = context.pulled - length;
  while (context.nextChunk < context.pulled) {
    const std::uint64_t from = std::max(start, context.nextChunk);
    const std::uint64_t to = std::min(context.pulled, context.nextChunk + ChunkHeaderSize);
    if (from < to)
      std::memcpy(context.chunkHeader + (from - context.nextChunk), data + (from - start),
                  static_cast<std::size_t>(to - from));
    if (to < context.nextChunk + ChunkHeaderSize)
      break; // the rest of the header comes with the next bytes
    const bool idat = std::memcmp(context.chunkHeader + 4, "IDAT", 4) == 0;
    // IHDR must be the first chunk. libpng lets chunks it skips come before it.
    if (++context.chunks == 1 && std::memcmp(context.chunkHeader + 4, "IHDR", 4) != 0)
      return PngRefusal::Malformed;
    if (context.chunks > (context.pixelData || idat ? MaxChunks : MaxChunksBeforePixels))
      return PngRefusal::TooLong;
    if (context.pixelData)
      context.limit += ChunkFrameSize; // the pixel data's bound counts only the chunks' data
    context.pixelData = context.pixelData || idat;
    context.nextChunk += ChunkFrameSize + BigEndian32(context.chunkHeader);
  }
  return PngRefusal::None;
}

// Fills [data, data + length) from the buffer, refilling it from the source as needed,
// keeping the first bytes for Classify.
PngRefusal Pull(ReadContext &context, std::uint8_t *data, std::size_t length) noexcept {
  if (context.pulled > context.limit || length > context.limit - context.pulled)
    return PngRefusal::TooLong;
  std::uint8_t *const start = data;
  const std::size_t wanted = length;
  try {
    while (length > 0) {
      if (context.taken == context.held) {
        const std::ptrdiff_t got = (*context.source)(context.buffer, InputBufferSize);
        if (got == 0)
          return PngRefusal::Truncated;
        if (got < 0 || static_cast<std::size_t>(got) > InputBufferSize)
          return PngRefusal::ReadError;
        context.taken = 0;
        context.held = static_cast<std::size_t>(got);
      }
      const std::size_t count = std::min(length, context.held - context.taken);
      std::memcpy(data, context.buffer + context.taken, count);
      context.taken += count;
      if (context.pulled < HeadSize)
        std::memcpy(context.head + context.pulled, data,
                    std::min<std::size_t>(count, HeadSize - context.pulled));
      context.pulled += count;
      data += count;
      length -= count;
    }
  } catch (...) {
    context.exception = std::current_exception();
    return PngRefusal::ReadError;
  }
  return FollowChunks(context, start, wanted);
}

// The file as libpng reads it. The chunks before the pixel data pass as they are; the pixel
// data is inflated here, by isa-l, which takes half the time zlib does on a photo and a fifth on
// a screenshot, and handed on as stored deflate blocks, which zlib merely copies. libpng still
// unfilters, expands and de-interlaces the rows, so the pixels cannot differ; and it meets the
// same decompressed bytes, the same end of the stream and the same chunk after the pixel data,
// so it accepts and refuses as it would the file itself (but for the few deflate streams that
// isa-l reads and zlib refuses: png_file.h). An error in the stream reaches it as a stored block
// of impossible length where isa-l found the error, and zlib refuses that.
//
// The CRCs of the critical chunks (the header, the palette, the pixel data) are checked here, as
// each chunk passes, so libpng is told to skip them, and isa-l checks the Adler-32 at the end,
// so zlib is told to skip that. The bounds on what one file may pull (Pull) stay on the file's
// own bytes.
class CStandIn {
public:
  explicit CStandIn(ReadContext &context) : m_context(context) {}
  ~CStandIn() = default;
  CStandIn(const CStandIn &) = delete;
  CStandIn &operator=(const CStandIn &) = delete;

  // Fills [out, out + length) with the stand-in's next bytes; why not, when it cannot.
  PngRefusal Serve(std::uint8_t *out, std::size_t length);

private:
  // isa-l inflates this much at a time: a stored block's most.
  static constexpr std::size_t BlockBytes = 65535;
  // The file's pixel data is pulled in pieces of this much.
  static constexpr std::size_t InputBytes = std::size_t{64} << 10;
  // Where the file's zlib stream is after a block: going on, ended (its Adler-32 checked),
  // broken (isa-l refused it), or starved (the pixel data ended first, with the chunk in
  // m_next).
  enum class Stream { Going, Ended, Broken, Starved };

  PngRefusal NextChunk();
  PngRefusal NextBlock();
  PngRefusal FeedInflater();
  PngRefusal PullPixelData();
  PngRefusal Inflate();
  PngRefusal TakeCrc(bool passOn);
  void BeginPassing(const std::uint8_t *header);
  void FrameBlock(std::size_t size, bool final, bool impossible);
  void Put(const void *bytes, std::size_t count) {
    std::memcpy(m_frame + m_frameSize, bytes, count);
    m_frameSize += count;
  }
  void Put32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    Put(bytes, 4);
  }

  ReadContext &m_context;
  // Framing waiting to be handed on: chunk headers and CRCs, a block's header.
  std::uint8_t m_frame[48]{};
  std::size_t m_frameAt = 0, m_frameSize = 0;
  // A chunk of the file passing through: its data and CRC still to come, and its CRC so far
  // where it is checked here (a critical chunk's).
  std::uint64_t m_passLeft = 0;
  bool m_checked = false;
  std::uint32_t m_crc = 0;
  bool m_inHeader = false;
  std::uint8_t m_header[13]{}; // IHDR's data, which sizes the pixel data
  // The pixel data: the file's IDAT chunk being read and how much of it is left, the inflated
  // bytes of the current block, where the stream is, and the chunk that ended the pixel data.
  bool m_pixels = false, m_pixelsOver = false, m_blockOpen = false, m_first = true;
  bool m_done = false;
  std::uint64_t m_idatLeft = 0;
  Stream m_stream = Stream::Going;
  std::uint8_t m_next[ChunkHeaderSize]{};
  std::unique_ptr<inflate_state> m_inflater;
  std::unique_ptr<std::uint8_t[]> m_input, m_block;
  std::size_t m_blockAt = 0, m_blockSize = 0;
};

// The 4 CRC bytes ending the file's current chunk, checked where the chunk is, and framed for
// libpng when the chunk is passed on.
PngRefusal CStandIn::TakeCrc(bool passOn) {
  std::uint8_t crc[4];
  if (const PngRefusal failure = Pull(m_context, crc, 4); failure != PngRefusal::None)
    return failure;
  // A damaged chunk refuses the file, as libpng would.
  if (m_checked && BigEndian32(crc) != m_crc)
    return PngRefusal::Malformed;
  if (passOn)
    Put(crc, 4);
  return PngRefusal::None;
}

void CStandIn::BeginPassing(const std::uint8_t *header) {
  // Ancillary chunks are left to libpng, which skips them and checks their CRCs itself.
  m_checked = (header[4] & 0x20) == 0;
  m_inHeader = std::memcmp(header + 4, "IHDR", 4) == 0 && BigEndian32(header) == sizeof m_header;
  m_crc = crc32_gzip_refl(0, header + 4, 4);
  m_passLeft = std::uint64_t{BigEndian32(header)} + 4;
  Put(header, ChunkHeaderSize);
}

// At a chunk's start: the next one, passed on or, the first IDAT, begun as pixel data.
PngRefusal CStandIn::NextChunk() {
  std::uint8_t header[ChunkHeaderSize];
  if (const PngRefusal failure = Pull(m_context, header, ChunkHeaderSize);
      failure != PngRefusal::None)
    return failure;
  if (m_pixelsOver || std::memcmp(header + 4, "IDAT", 4) != 0) {
    BeginPassing(header);
    return PngRefusal::None;
  }
  // The pixel data's bound, from the header (which libpng has checked by now): twice the raw
  // rows as the file lays them out, a filter byte each (twice as many for the passes of an
  // interlaced file, at most).
  static constexpr unsigned Channels[7] = {1, 0, 3, 1, 2, 0, 4};
  const std::uint64_t width = BigEndian32(m_header), height = BigEndian32(m_header + 4);
  const unsigned bits = m_header[8] * (m_header[9] < 7 ? Channels[m_header[9]] : 0u);
  const std::uint64_t raw = ((width * bits + 7) / 8 + 1) * height * (m_header[12] != 0 ? 2 : 1);
  // A picture too large is refused before any of its pixel data is pulled.
  if (!WithinReadLimits(width, height))
    return PngRefusal::TooLarge;
  m_context.limit = m_context.pulled + std::min(MaxPngBytes, 2 * raw + PixelDataSlack);
  m_pixels = true;
  m_checked = true;
  m_idatLeft = BigEndian32(header);
  m_crc = crc32_gzip_refl(0, header + 4, 4);
  m_inflater = std::make_unique<inflate_state>();
  isal_inflate_init(m_inflater.get());
  m_inflater->crc_flag = ISAL_ZLIB;
  m_input = std::make_unique<std::uint8_t[]>(InputBytes);
  m_block = std::make_unique<std::uint8_t[]>(BlockBytes);
  return NextBlock();
}

// Pulls the next piece of the file's pixel data for isa-l: from this IDAT chunk or, once it is
// over (its CRC checked), the next one; Starved when the next chunk is another.
PngRefusal CStandIn::FeedInflater() {
  while (m_idatLeft == 0) {
    if (const PngRefusal failure = TakeCrc(false); failure != PngRefusal::None)
      return failure;
    if (const PngRefusal failure = Pull(m_context, m_next, ChunkHeaderSize);
        failure != PngRefusal::None)
      return failure;
    if (std::memcmp(m_next + 4, "IDAT", 4) != 0) {
      m_stream = Stream::Starved;
      return PngRefusal::None;
    }
    m_idatLeft = BigEndian32(m_next);
    m_crc = crc32_gzip_refl(0, m_next + 4, 4);
  }
  if (const PngRefusal failure = PullPixelData(); failure != PngRefusal::None)
    return failure;
  m_inflater->next_in = m_input.get();
  return PngRefusal::None;
}

// The next piece of this IDAT chunk's data into the input buffer, its CRC followed and the
// inflater's count of it set.
PngRefusal CStandIn::PullPixelData() {
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(m_idatLeft, InputBytes));
  if (const PngRefusal failure = Pull(m_context, m_input.get(), count); failure != PngRefusal::None)
    return failure;
  m_crc = crc32_gzip_refl(m_crc, m_input.get(), count);
  m_idatLeft -= count;
  m_inflater->avail_in = static_cast<std::uint32_t>(count);
  return PngRefusal::None;
}

// Inflates the file's pixel data into the block until it is full or the stream is over.
PngRefusal CStandIn::Inflate() {
  inflate_state &inflater = *m_inflater;
  m_blockSize = 0;
  for (;;) {
    // isa-l holds input of its own: it is asked for more output before it gets more input.
    const std::uint32_t given = inflater.avail_in;
    const std::size_t room = BlockBytes - m_blockSize;
    inflater.next_out = m_block.get() + m_blockSize;
    inflater.avail_out = static_cast<std::uint32_t>(room);
    const int result = isal_inflate(&inflater);
    const std::size_t produced = room - inflater.avail_out;
    m_blockSize += produced;
    // An error, or a dictionary, which no PNG may use.
    if (result < 0 || result == ISAL_NEED_DICT) {
      m_stream = Stream::Broken;
      return PngRefusal::None;
    }
    if (m_blockSize == BlockBytes)
      return PngRefusal::None; // more may follow, even after the end of the stream
    if (inflater.block_state == ISAL_BLOCK_FINISH) {
      // The rest of the chunk the stream ended in is skipped, but its CRC checked, as libpng
      // does once it has the last row.
      while (m_idatLeft > 0)
        if (const PngRefusal failure = PullPixelData(); failure != PngRefusal::None)
          return failure;
      m_stream = Stream::Ended;
      return TakeCrc(false);
    }
    if (inflater.avail_in == 0) {
      if (const PngRefusal failure = FeedInflater();
          failure != PngRefusal::None || m_stream == Stream::Starved)
        return failure;
    } else if (inflater.avail_in == given && produced == 0) {
      m_stream = Stream::Broken; // no headway on the input it has
      return PngRefusal::None;
    }
  }
}

// A stored block of `size` bytes in an IDAT chunk of its own, the zlib header before the first.
// An impossible one has a length its complement contradicts, which zlib refuses.
void CStandIn::FrameBlock(std::size_t size, bool final, bool impossible) {
  Put32(static_cast<std::uint32_t>((m_first ? 2 : 0) + 5 + size + (final ? 4 : 0)));
  Put("IDAT", 4);
  if (m_first)
    Put("\x78\x01", 2); // deflate with a 32 KiB window, no dictionary
  m_first = false;
  const auto length = static_cast<std::uint16_t>(size);
  const auto complement = static_cast<std::uint16_t>(impossible ? length : ~length);
  const std::uint8_t header[5] = {
      static_cast<std::uint8_t>(final ? 1 : 0), static_cast<std::uint8_t>(length),
      static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(complement),
      static_cast<std::uint8_t>(complement >> 8)};
  Put(header, 5);
  m_blockOpen = !impossible;
  if (impossible)
    Put32(0);
}

// The current block is handed on: ends its chunk and frames what comes next.
PngRefusal CStandIn::NextBlock() {
  m_frameAt = m_frameSize = 0;
  m_blockAt = m_blockSize = 0;
  if (m_blockOpen) {
    if (m_stream == Stream::Ended)
      Put32(0); // the Adler-32, which zlib is told to skip
    Put32(0);   // the CRC, which libpng is told to skip
    m_blockOpen = false;
  }
  switch (m_stream) {
  case Stream::Going: break;
  case Stream::Ended:
    // libpng has had every byte of the stream; it never reads on past it.
    m_done = true;
    return PngRefusal::None;
  case Stream::Starved:
    // libpng meets the chunk that ended the pixel data where it wanted more, as in the file.
    m_pixels = false;
    m_pixelsOver = true;
    BeginPassing(m_next);
    return PngRefusal::None;
  case Stream::Broken:
    FrameBlock(0, false, true);
    m_done = true;
    return PngRefusal::None;
  }
  if (m_done)
    return PngRefusal::Malformed;
  if (const PngRefusal failure = Inflate(); failure != PngRefusal::None)
    return failure;
  if (m_stream == Stream::Broken && m_blockSize == 0) {
    FrameBlock(0, false, true);
    m_done = true;
    return PngRefusal::None;
  }
  FrameBlock(m_blockSize, m_stream == Stream::Ended, false);
  return PngRefusal::None;
}

PngRefusal CStandIn::Serve(std::uint8_t *out, std::size_t length) {
  while (length > 0) {
    std::size_t count = 0;
    if (m_frameAt < m_frameSize) {
      count = std::min(length, m_frameSize - m_frameAt);
      std::memcpy(out, m_frame + m_frameAt, count);
      m_frameAt += count;
    } else if (m_pixels) {
      if (m_blockAt < m_blockSize) {
        count = std::min(length, m_blockSize - m_blockAt);
        std::memcpy(out, m_block.get() + m_blockAt, count);
        m_blockAt += count;
      } else if (m_done) {
        return PngRefusal::Malformed;
      } else if (const PngRefusal failure = NextBlock(); failure != PngRefusal::None) {
        return failure;
      }
    } else if (m_passLeft > 4) {
      count = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_passLeft - 4));
      if (const PngRefusal failure = Pull(m_context, out, count); failure != PngRefusal::None)
        return failure;
      if (m_checked)
        m_crc = crc32_gzip_refl(m_crc, out, count);
      if (m_inHeader) {
        const auto at = static_cast<std::size_t>(sizeof m_header + 4 - m_passLeft);
        std::memcpy(m_header + at, out, count);
      }
      m_passLeft -= count;
    } else {
      m_frameAt = m_frameSize = 0;
      const bool crc = m_passLeft == 4;
      m_passLeft = 0;
      if (const PngRefusal failure = crc ? TakeCrc(true) : NextChunk(); failure != PngRefusal::None)
        return failure;
    }
    out += count;
    length -= count;
  }
  return PngRefusal::None;
}

void ReadFromSource(png_structp png, png_bytep data, std::size_t length) {
  auto &context = *static_cast<ReadContext *>(png_get_io_ptr(png));
  const PngRefusal failure = context.standIn->Serve(data, length);
  if (failure != PngRefusal::None) {
    context.refusal = failure;
    png_error(png, "input failed");
  }
}

// Why libpng refused the file: a side above its limit is the size, anything else a fault of
// the file.
PngRefusal Classify(const ReadContext &context) {
  if (context.refusal != PngRefusal::None)
    return context.refusal;
  if (context.pulled >= HeadSize && std::memcmp(context.head + 12, "IHDR", 4) == 0) {
    const std::uint64_t width = BigEndian32(context.head + 16);
    const std::uint64_t height = BigEndian32(context.head + 20);
    if (width > MaxReadSide || height > MaxReadSide)
      return PngRefusal::TooLarge;
  }
  return PngRefusal::Malformed;
}

// The libpng structures of one read or write, released on every path.
class PngStructs {
public:
  explicit PngStructs(bool reading) : m_reading(reading) {
    m_png = reading
                ? png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning)
                : png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning);
    if (m_png != nullptr)
      m_info = png_create_info_struct(m_png);
    // libpng fails to create them only when memory is short.
    if (m_png == nullptr || m_info == nullptr) {
      Destroy();
      throw std::bad_alloc();
    }
  }
  ~PngStructs() { Destroy(); }
  PngStructs(const PngStructs &) = delete;
  PngStructs &operator=(const PngStructs &) = delete;

  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

private:
  void Destroy() {
    if (m_png == nullptr)
      return;
    if (m_reading)
      png_destroy_read_struct(&m_png, m_info != nullptr ? &m_info : nullptr, nullptr);
    else
      png_destroy_write_struct(&m_png, m_info != nullptr ? &m_info : nullptr);
    m_png = nullptr;
    m_info = nullptr;
  }

  bool m_reading;
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

// What the rows look like once libpng has expanded them: 3 or 4 channels (RGB, RGBA) of 8 or
// 16 bits, in passes when interlaced.
struct RowFormat {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  bool interlaced = false;
  int channels = 0;
  int bitDepth = 0;
  std::size_t rowBytes = 0;
};

// Reads the header and the chunks up to the pixels, checks the size and sets up the
// expansion. Plain values only in this frame (see the top of the file).
bool ReadHeader(png_structp png, png_infop info, ReadContext &context, RowFormat &format) {
  if (setjmp(png_jmpbuf(png)) != 0)
    return false;
  png_read_info(png, info);
  format.width = png_get_image_width(png, info);
  format.height = png_get_image_height(png, info);
  if (!WithinReadLimits(format.width, format.height)) {
    context.refusal = PngRefusal::TooLarge;
    return false;
  }
  format.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;

  // Palettes to RGB, gray to 8 bits, tRNS to an alpha channel, then gray to RGB. Nothing else:
  // 16-bit samples and alpha are reduced and flattened in StoreRow by rules of our own, and
  // without png_set_interlace_handling an interlaced file arrives pass by pass, each pass's
  // rows holding only its own pixels, which StoreRow puts in place.
  // A tRNS key with a sample beyond the bit depth matches no pixel. libpng would compare only
  // its low bits (a 2-bit gray key of 6 would make gray 2 transparent), so such a key is not
  // handed on: gray is then expanded without it.
  png_color_16p key = nullptr;
  const int colorType = png_get_color_type(png, info);
  const int fileDepth = png_get_bit_depth(png, info);
  if (colorType != PNG_COLOR_TYPE_PALETTE && png_get_tRNS(png, info, nullptr, nullptr, &key) != 0 &&
      key != nullptr && fileDepth < 16 &&
      std::max({key->gray, key->red, key->green, key->blue}) >> fileDepth != 0)
    png_set_expand_gray_1_2_4_to_8(png);
  else
    png_set_expand(png);
  png_set_gray_to_rgb(png);
  png_read_update_info(png, info);
  format.channels = png_get_channels(png, info);
  format.bitDepth = png_get_bit_depth(png, info);
  format.rowBytes = png_get_rowbytes(png, info);
  if ((format.channels != 3 && format.channels != 4) ||
      (format.bitDepth != 8 && format.bitDepth != 16)) {
    context.refusal = PngRefusal::Malformed;
    return false;
  }
  return true;
}

// 16 bits to 8, rounding to nearest.
inline unsigned Reduce16(const std::uint8_t *p) {
  const unsigned v = static_cast<unsigned>(p[0]) << 8 | p[1];
  return (v * 255 + 32767) / 65535;
}

template <int Channels, bool Wide>
void StoreRowAs(const std::uint8_t *in, png_uint_32 count, std::uint8_t *out, std::size_t step) {
  constexpr int SampleBytes = Wide ? 2 : 1;
  for (png_uint_32 i = 0; i < count; ++i, in += Channels * SampleBytes, out += step) {
    unsigned rgb[3];
    for (int c = 0; c < 3; ++c)
      rgb[c] = Wide ? Reduce16(in + 2 * c) : in[c];
    if constexpr (Channels == 4) {
      const unsigned alpha = Wide ? Reduce16(in + 6) : in[3];
      for (unsigned &c : rgb)
        c = FlattenOnWhite(c, alpha);
    }
    out[0] = static_cast<std::uint8_t>(rgb[2]);
    out[1] = static_cast<std::uint8_t>(rgb[1]);
    out[2] = static_cast<std::uint8_t>(rgb[0]);
  }
}

// Writes `count` expanded pixels to the image, `step` bytes apart, as blue, green, red.
void StoreRow(const RowFormat &format, const std::uint8_t *in, png_uint_32 count, std::uint8_t *out,
              std::size_t step) {
  const bool wide = format.bitDepth == 16;
  if (format.channels == 3)
    wide ? StoreRowAs<3, true>(in, count, out, step) : StoreRowAs<3, false>(in, count, out, step);
  else
    wide ? StoreRowAs<4, true>(in, count, out, step) : StoreRowAs<4, false>(in, count, out, step);
}

// Reads every pixel row into `image`. Plain values only in this frame.
bool ReadRows(png_structp png, const RowFormat &format, std::uint8_t *row, CDibImage &image) {
  if (setjmp(png_jmpbuf(png)) != 0)
    return false;
  const int passes = format.interlaced ? 7 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    const png_uint_32 columns =
        format.interlaced ? PNG_PASS_COLS(format.width, pass) : format.width;
    const png_uint_32 rows = format.interlaced ? PNG_PASS_ROWS(format.height, pass) : format.height;
    if (columns == 0 || rows == 0)
      continue; // libpng skips an empty pass too
    const png_uint_32 firstColumn = format.interlaced ? PNG_PASS_START_COL(pass) : 0;
    const std::size_t step = format.interlaced ? std::size_t{3} << PNG_PASS_COL_SHIFT(pass) : 3;
    for (png_uint_32 r = 0; r < rows; ++r) {
      png_read_row(png, row, nullptr);
      const png_uint_32 y = format.interlaced ? PNG_ROW_FROM_PASS_ROW(r, pass) : r;
      StoreRow(format, row, columns,
               image.PixelAddress(static_cast<int>(firstColumn), static_cast<int>(y)), step);
      // An interlaced picture's rows are final only after the last pass.
      if (!format.interlaced)
        PublishRows(image, static_cast<int>(y) + 1);
    }
  }
  return true;
}

bool Fail(const ReadContext &context, PngRefusal *why, CDibImage &image) {
  // Rows already handed on may still be read on another thread, which stops at the failure;
  // the image's owner releases it then.
  if (image.m_rowProgress == nullptr)
    image.Release();
  if (context.exception)
    std::rethrow_exception(context.exception);
  return Refuse(why, Classify(context));
}

// ---------------------------------------------------------------------------------------------
// Writing

struct WriteContext {
  const ByteSink *sink = nullptr;
  std::exception_ptr exception;
};

bool Push(WriteContext &context, const std::uint8_t *data, std::size_t length) noexcept {
  try {
    return (*context.sink)(data, length);
  } catch (...) {
    context.exception = std::current_exception();
    return false;
  }
}

void WriteToSink(png_structp png, png_bytep data, std::size_t length) {
  auto &context = *static_cast<WriteContext *>(png_get_io_ptr(png));
  if (!Push(context, data, length))
    png_error(png, "output failed");
}

void FlushSink(png_structp) {}

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

// Filtered rows are gathered and deflated in blocks of this size or more (a row and its filter
// byte always fit), and the compressed stream goes out in IDAT chunks of this size: few calls
// into the deflater and few chunk headers, yet the file leaves while later rows still fill.
constexpr std::size_t WriteBlockSize = std::size_t{256} << 10;

// What the rows pass through on their way to IDAT chunks. Its owner, WritePng, keeps it out of
// WriteRows's frame, which a libpng error leaves by longjmp.
struct PixelData {
  PixelData(std::size_t rowBytes, bool indexed)
      : stream(std::make_unique<isal_zstream>()), level(ISAL_DEF_LVL1_DEFAULT),
        rows(std::max(WriteBlockSize, rowBytes + 1)), out(WriteBlockSize),
        rgb(indexed ? 0 : 2 * rowBytes), up(rowBytes) {
    isal_deflate_init(stream.get());
    stream->level = 1;
    stream->level_buf = level.data();
    stream->level_buf_size = static_cast<std::uint32_t>(level.size());
    stream->gzip_flag = IGZIP_ZLIB; // the zlib header and Adler-32 a PNG needs
  }

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
void Deflate(png_structp png, PixelData &data, bool last) {
  isal_zstream &stream = *data.stream;
  stream.next_in = data.rows.data();
  stream.avail_in = static_cast<std::uint32_t>(data.rowsUsed);
  stream.end_of_stream = last ? 1 : 0;
  stream.flush = NO_FLUSH;
  do {
    stream.next_out = data.out.data() + data.outUsed;
    stream.avail_out = static_cast<std::uint32_t>(data.out.size() - data.outUsed);
    if (isal_deflate(&stream) != COMP_OK)
      png_error(png, "deflate failed");
    data.outUsed = data.out.size() - stream.avail_out;
    if (data.outUsed == data.out.size() ||
        (last && stream.internal_state.state == ZSTATE_END && data.outUsed > 0)) {
      png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), data.out.data(),
                      data.outUsed);
      data.outUsed = 0;
    }
  } while (stream.avail_in > 0 || (last && stream.internal_state.state != ZSTATE_END));
  data.rowsUsed = 0;
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

// Writes the whole file, each row once it is final. Plain values only in this frame.
bool WriteRows(png_structp png, png_infop info, const CDibImage &image, CFinalRows &final,
               const png_color *palette, int paletteLength, PixelData &data) {
  if (setjmp(png_jmpbuf(png)) != 0)
    return false;
  const int bitCount = image.BitCount();
  const bool indexed = paletteLength > 0;
  // libpng's default limit (a million pixels a side) is for readers; our images are as large
  // as memory allows.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width()),
               static_cast<png_uint_32>(image.Height()), indexed ? bitCount : 8,
               indexed ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (indexed)
    png_set_PLTE(png, info, palette, paletteLength);
  png_write_info(png, info);
  // libpng frames the chunks; the rows are filtered and deflated here (see the header for
  // why). Indexed rows pack pixels from the high bits down in both formats, so the bitmap's
  // own rows serve; 24- and 32-bit rows become RGB, the fourth byte dropped.
  const std::size_t width = static_cast<std::size_t>(image.Width());
  const std::size_t rowBytes =
      indexed ? (width * static_cast<std::size_t>(bitCount) + 7) / 8 : 3 * width;
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
    if (data.rows.size() - data.rowsUsed < rowBytes + 1)
      Deflate(png, data, false);
    AppendRow(data, row, above, rowBytes);
    above = row;
  }
  Deflate(png, data, true);
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  return true;
}

} // namespace

bool HasPngSignature(const std::uint8_t *data, std::size_t size) {
  return data != nullptr && size >= SignatureSize && png_sig_cmp(data, 0, SignatureSize) == 0;
}

bool ReadPng(const ByteSource &source, CDibImage &image, PngRefusal *why) {
  std::vector<std::uint8_t> buffer(InputBufferSize);
  ReadContext context;
  context.source = &source;
  context.buffer = buffer.data();
  std::uint8_t signature[SignatureSize];
  if (const PngRefusal failure = Pull(context, signature, SignatureSize);
      failure != PngRefusal::None) {
    context.refusal = failure == PngRefusal::Truncated ? PngRefusal::Signature : failure;
    return Fail(context, why, image);
  }
  if (!HasPngSignature(signature, SignatureSize))
    return Refuse(why, PngRefusal::Signature);

  CStandIn standIn(context);
  context.standIn = &standIn;
  PngStructs structs(true);
  png_structp png = structs.png();
  png_set_read_fn(png, &context, ReadFromSource);
  png_set_sig_bytes(png, SignatureSize);
  png_set_user_limits(png, MaxReadSide, MaxReadSide);
  png_set_chunk_cache_max(png, MaxKeptChunks);
  png_set_chunk_malloc_max(png, MaxChunkBytes);
  // A damaged chunk refuses the file, ancillary or not: the critical ones' CRCs and the zlib
  // stream's Adler-32 are checked by the stand-in, the others' by libpng.
  png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_ERROR_QUIT);
  png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  // The stand-in's blocks are taken a chunk at a time.
  png_set_compression_buffer_size(png, 65535 + 11);
  // Every ancillary chunk but tRNS is skipped unread: gamma and colour profiles would change
  // the stored values, and text or profiles need not be inflated at all.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);

  RowFormat format;
  if (!ReadHeader(png, structs.info(), context, format))
    return Fail(context, why, image);
  std::vector<std::uint8_t> row(format.rowBytes);
  if (!image.Create(static_cast<int>(format.width), static_cast<int>(format.height), 24))
    return Refuse(why, PngRefusal::NoSection);
  if (!PublishRows(image, 0))
    return Refuse(why, PngRefusal::Unwanted);
  // Reading stops after the last row: what follows (IEND, trailing chunks) is never pulled.
  if (!ReadRows(png, format, row.data(), image))
    return Fail(context, why, image);
  if (why != nullptr)
    *why = PngRefusal::None;
  return true;
}

bool ReadPngBytes(const std::uint8_t *data, std::size_t size, CDibImage &image, PngRefusal *why) {
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

bool WritePng(const CDibImage &image, const ByteSink &sink) {
  const int bitCount = image.BitCount();
  if (!image.HasSection() || image.m_bits == nullptr ||
      (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32))
    return false;
  png_color palette[MaxPaletteEntries]{};
  CFinalRows final(image);
  // A table shorter than the depth allows is grown by a look at every pixel (a converter's
  // never is).
  if (bitCount <= 8 && image.m_paletteCount < 1 << bitCount && !final.Wait(image.Height() - 1))
    return false;
  const int paletteLength = bitCount <= 8 ? PaletteLength(image) : 0;
  for (int i = 0; i < paletteLength; ++i)
    palette[i] = {image.m_palette[i].rgbRed, image.m_palette[i].rgbGreen,
                  image.m_palette[i].rgbBlue};

  const std::size_t width = static_cast<std::size_t>(image.Width());
  const bool indexed = paletteLength > 0;
  PixelData data(indexed ? (width * static_cast<std::size_t>(bitCount) + 7) / 8 : 3 * width,
                 indexed);
  WriteContext context;
  context.sink = &sink;
  PngStructs structs(false);
  png_set_write_fn(structs.png(), &context, WriteToSink, FlushSink);
  const bool written =
      WriteRows(structs.png(), structs.info(), image, final, palette, paletteLength, data);
  if (context.exception)
    std::rethrow_exception(context.exception);
  return written;
}
