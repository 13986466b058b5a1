#include "codec/png_inflate.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <cstring>
#include <new>

struct CPngInflater::Isal {
  inflate_state state;
};

struct CPngInflater::Zlib {
  Zlib() = default;
  ~Zlib() { inflateEnd(&stream); }
  Zlib(const Zlib &) = delete;
  Zlib &operator=(const Zlib &) = delete;

  z_stream stream{}; // inflateEnd leaves one that was never initialised alone
};

CPngInflater::CPngInflater(const std::uint8_t (&header)[2]) {
  if (header[0] >> 4 == 7) {
    m_isal = std::make_unique<Isal>();
    isal_inflate_init(&m_isal->state);
    // The header is read; isa-l takes the deflate data and checks the Adler-32 after it.
    m_isal->state.crc_flag = ISAL_ZLIB_NO_HDR_VER;
    return;
  }
  m_zlib = std::make_unique<Zlib>();
  // A window of 0: the one the header declares, as libpng asks.
  if (inflateInit2(&m_zlib->stream, 0) != Z_OK)
    throw std::bad_alloc();
  // zlib reads the header again (it writes nothing, so this call changes no distance it takes).
  std::uint8_t bytes[2] = {header[0], header[1]}, scrap = 0;
  z_stream &stream = m_zlib->stream;
  stream.next_in = bytes;
  stream.avail_in = 2;
  stream.next_out = &scrap;
  stream.avail_out = 0;
  inflate(&stream, Z_NO_FLUSH);
  stream.next_in = nullptr;
  stream.avail_in = 0;
}

CPngInflater::~CPngInflater() = default;

void CPngInflater::Give(const std::uint8_t *data, std::size_t size) {
  if (m_isal != nullptr) {
    m_isal->state.next_in = const_cast<std::uint8_t *>(data);
    m_isal->state.avail_in = static_cast<std::uint32_t>(size);
  } else {
    m_zlib->stream.next_in = const_cast<std::uint8_t *>(data);
    m_zlib->stream.avail_in = static_cast<uInt>(size);
  }
}

bool CPngInflater::Hungry() const {
  return m_isal != nullptr ? m_isal->state.avail_in == 0 : m_zlib->stream.avail_in == 0;
}

CPngInflater::Result CPngInflater::Inflate(std::uint8_t *out, std::size_t room,
                                           std::size_t &produced) {
  if (m_zlib != nullptr) {
    z_stream &stream = m_zlib->stream;
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_NO_FLUSH);
    produced = room - stream.avail_out;
    switch (result) {
    case Z_OK: return Result::Going;
    case Z_BUF_ERROR: return stream.avail_in == 0 ? Result::Going : Result::BadData; // no input
    case Z_STREAM_END: return Result::Ended;
    case Z_MEM_ERROR: throw std::bad_alloc();
    case Z_DATA_ERROR:
      return stream.msg != nullptr && std::strcmp(stream.msg, "incorrect data check") == 0
                 ? Result::BadAdler
                 : Result::BadData;
    default: return Result::BadData;
    }
  }
  inflate_state &state = m_isal->state;
  const std::uint32_t given = state.avail_in;
  state.next_out = out;
  state.avail_out = static_cast<std::uint32_t>(room);
  const int result = isal_inflate(&state);
  produced = room - state.avail_out;
  if (result == ISAL_INCORRECT_CHECKSUM)
    return Result::BadAdler;
  if (result < 0 || result == ISAL_NEED_DICT)
    return Result::BadData;
  if (state.block_state == ISAL_BLOCK_FINISH)
    return Result::Ended;
  // Input and room, yet nothing taken and nothing made: it would never go on.
  return produced == 0 && given > 0 && state.avail_in == given ? Result::BadData : Result::Going;
}

bool CPngInflater::Overran() const {
  if (m_zlib != nullptr)
    return m_zlib->stream.avail_in > 0;
  // isa-l may have taken whole bytes past the end into its bit buffer (what it holds of less
  // than a byte is the last byte's padding).
  const inflate_state &state = m_isal->state;
  return state.avail_in > 0 || state.read_in_length >= 8 || state.tmp_in_size > 0;
}
