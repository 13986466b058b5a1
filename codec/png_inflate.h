// The pixel data's zlib stream, for the PNG reader, once it has read and checked the stream's
// 2-byte header (method 8, window at most 32 KiB, check bits, no dictionary).
//
// isa-l inflates it, and checks the Adler-32 at its end. isa-l keeps a window of 32 KiB
// whatever the header declares, though, and would read a stream that reaches back further than
// its header allows, which zlib refuses. Encoders declare a smaller window only for a picture
// whose rows fit in it (libpng does so below 16 KiB of rows), so such a stream is inflated by
// zlib instead, fed as libpng feeds it: input in pieces of at most 8 KiB of a chunk (counted
// from the chunk's start), output a row at a time. zlib allows a distance back as far as the
// window plus what the current call has written, so fed the same way it takes and refuses
// exactly the streams libpng does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class CPngInflater {
public:
  enum class Result {
    Going,    // more to come
    Ended,    // the stream's end, its Adler-32 right
    BadData,  // not deflate, or a distance back past the window
    BadAdler, // the Adler-32 does not match the data
  };

  // The stream after `header`, which declares a window of 2^(8 + (header[0] >> 4)) bytes.
  explicit CPngInflater(const std::uint8_t (&header)[2]);
  ~CPngInflater();
  CPngInflater(const CPngInflater &) = delete;
  CPngInflater &operator=(const CPngInflater &) = delete;

  // Whether the stream must be fed as libpng feeds zlib (see above), in pieces of at most
  // PieceSize bytes, and asked for no more than the rest of the current row.
  bool ByRows() const { return m_zlib != nullptr; }
  static constexpr std::size_t PieceSize = 8192;

  // The next input, once Hungry; it must stay in place until the inflater is hungry again.
  void Give(const std::uint8_t *data, std::size_t size);
  bool Hungry() const;

  // Inflates into [out, out + room), room > 0; `produced` says how much came.
  Result Inflate(std::uint8_t *out, std::size_t room, std::size_t &produced);

  // After Ended: whether input went on past the stream's end.
  bool Overran() const;

private:
  struct Isal;
  struct Zlib;
  std::unique_ptr<Isal> m_isal;
  std::unique_ptr<Zlib> m_zlib;
};
