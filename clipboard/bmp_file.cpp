#include "clipboard/bmp_file.h"

#include <cstring>

namespace {

void PutU32(std::uint8_t *p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }

} // namespace

bool ReadBmpFile(const std::uint8_t *data, std::size_t size, CDibImage &image, DibRefusal *why) {
  if (data == nullptr || size < BmpFileHeaderSize) {
    if (why != nullptr)
      *why = DibRefusal::TooShort;
    return false;
  }
  if (data[0] != 'B' || data[1] != 'M') {
    if (why != nullptr)
      *why = DibRefusal::FileSignature;
    return false;
  }
  std::uint32_t offBits;
  std::memcpy(&offBits, data + 10, sizeof offBits);
  if (offBits < BmpFileHeaderSize + DibHeaderSize) {
    // Rows that would overlap the file or info header cannot be right.
    if (why != nullptr)
      *why = DibRefusal::RowOffset;
    return false;
  }
  return ReadPackedDibWithRowsAt(data + BmpFileHeaderSize, size - BmpFileHeaderSize,
                                 offBits - BmpFileHeaderSize, image, why);
}

std::vector<std::uint8_t> EncodeBmpFile(const CDibImage &image) {
  const std::size_t blockSize = PackedDibSize(image);
  if (blockSize == 0)
    return {};
  std::vector<std::uint8_t> file(BmpFileHeaderSize + blockSize);
  file[0] = 'B';
  file[1] = 'M';
  // bfSize is a 32-bit field; a larger file keeps the low bits, as other writers do.
  PutU32(&file[2], static_cast<std::uint32_t>(file.size()));
  PutU32(&file[10], static_cast<std::uint32_t>(BmpFileHeaderSize + DibHeaderSize +
                                               sizeof(RgbQuad) * image.m_paletteCount));
  WritePackedDib(image, file.data() + BmpFileHeaderSize);
  return file;
}
