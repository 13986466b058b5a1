// What the PNG reader and writer share: the signature, the chunk types they handle, and a
// chunk's framing (its length and type before the data, the CRC of type and data after it).
// The CRC is isa-l's, the same CRC-32 as zlib's.
#pragma once

#include <cstddef>
#include <cstdint>

#include <isa-l/crc.h>

inline constexpr std::uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
inline constexpr std::size_t PngSignatureSize = sizeof PngSignature;
inline constexpr std::size_t ChunkHeaderSize = 8; // length, type
inline constexpr std::size_t ChunkCrcSize = 4;

inline std::uint32_t BigEndian32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

inline void PutBigEndian32(std::uint8_t *p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

// A chunk type as the four bytes read big-endian.
constexpr std::uint32_t ChunkType(const char (&name)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
         static_cast<unsigned char>(name[3]);
}
inline constexpr std::uint32_t ChunkIHDR = ChunkType("IHDR");
inline constexpr std::uint32_t ChunkPLTE = ChunkType("PLTE");
inline constexpr std::uint32_t ChunkIDAT = ChunkType("IDAT");
inline constexpr std::uint32_t ChunkIEND = ChunkType("IEND");
inline constexpr std::uint32_t ChunktRNS = ChunkType("tRNS");

// A critical chunk's first letter is upper case: a reader that does not know it must stop.
constexpr bool IsCriticalChunk(std::uint32_t type) { return (type & 0x20000000u) == 0; }

// The CRC of a chunk's type and data, continued over `size` more bytes (start from 0).
inline std::uint32_t ChunkCrc(std::uint32_t crc, const std::uint8_t *data, std::size_t size) {
  return crc32_gzip_refl(crc, data, size);
}
