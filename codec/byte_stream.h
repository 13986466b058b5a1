// Bytes in and out of the picture codecs, whatever holds them (memory, a file, a pipe).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Pulls input on demand: copies up to `size` bytes to `buffer`, returns how many (0 = end of
// input), or -1 on a read error.
using ByteSource = std::function<std::ptrdiff_t(std::uint8_t *buffer, std::size_t size)>;

// Reads input out of order, where its holder allows (a file): copies up to `size` bytes from
// `offset` counted from the input's first byte, returns how many (0 past the end), or -1.
using ByteSourceAt =
    std::function<std::ptrdiff_t(std::uint8_t *buffer, std::size_t size, std::uint64_t offset)>;

// Takes `size` bytes of output; false when it could not (the write then fails).
using ByteSink = std::function<bool(const std::uint8_t *data, std::size_t size)>;

// Puts `size` bytes of output at `offset` from the output's first byte; false when it could not.
using ByteSinkAt =
    std::function<bool(const std::uint8_t *data, std::size_t size, std::uint64_t offset)>;
