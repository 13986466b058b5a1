#include "codec/bmp_file.h"

#include <cstddef>
#include <cstring>

namespace {

void PutU32(std::uint8_t *p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }

} // namespace

DibHeadParse ParseBmpFileHead(const std::uint8_t *data, std::size_t available,
                              std::uint64_t fileSize, DibBlockLayout &layout, DibRefusal *why) {
  const auto refuse = [why](DibRefusal reason) {
    if (why != nullptr)
      *why = reason;
    return DibHeadParse::Refused;
  };
  if (data == nullptr || fileSize < BmpFileHeaderSize)
    return refuse(DibRefusal::TooShort);
  if (available < BmpFileHeaderSize) {
    layout.headSize = BmpFileHeaderSize;
    return DibHeadParse::NeedsMore;
  }
  if (data[0] != 'B' || data[1] != 'M')
    return refuse(DibRefusal::FileSignature);
  std::uint32_t offBits;
  std::memcpy(&offBits, data + 10, sizeof offBits);
  // Rows that would overlap the file or info header cannot be right.
  if (offBits < BmpFileHeaderSize + DibHeaderSize)
    return refuse(DibRefusal::RowOffset);
  const DibHeadParse result =
      ParseDibHead(data + BmpFileHeaderSize, available - BmpFileHeaderSize,
                   fileSize == UnknownBlockSize ? UnknownBlockSize : fileSize - BmpFileHeaderSize,
                   offBits - BmpFileHeaderSize, layout, why);
  if (result != DibHeadParse::Refused) {
    layout.headSize += BmpFileHeaderSize;
    layout.rowsStart += BmpFileHeaderSize;
  }
  return result;
}

bool ReadBmpFile(const std::uint8_t *data, std::size_t size, CDibImage &image, DibRefusal *why) {
  DibBlockLayout layout;
  switch (ParseBmpFileHead(data, size, size, layout, why)) {
  case DibHeadParse::Parsed: break;
  case DibHeadParse::NeedsMore: // only for a file still arriving
    if (why != nullptr)
      *why = DibRefusal::TooShort;
    return false;
  case DibHeadParse::Refused: return false;
  }
  if (!CreateDibImage(layout, image, why))
    return false;
  StoreDibRows(layout, data + layout.rowsStart, image);
  return true;
}

bool DescribeBmpFile(const CDibImage &image, BmpFileParts &parts) {
  static_assert(offsetof(CDibImage, m_palette) ==
                    offsetof(CDibImage, m_header) + sizeof(DibInfoHeader),
                "the colour table follows the header, so the two go out as one piece");
  if (!image.HasSection())
    return false;
  parts.head = &image.m_header;
  parts.headSize = DibHeaderSize + sizeof(RgbQuad) * static_cast<std::size_t>(image.m_paletteCount);
  parts.rows = image.m_bits;
  parts.rowsSize = image.RowsSize();
  const std::size_t fileSize = BmpFileHeaderSize + parts.headSize + parts.rowsSize;
  std::memset(parts.fileHeader, 0, sizeof parts.fileHeader);
  parts.fileHeader[0] = 'B';
  parts.fileHeader[1] = 'M';
  // bfSize is a 32-bit field; a larger file keeps the low bits, as other writers do.
  PutU32(parts.fileHeader + 2, static_cast<std::uint32_t>(fileSize));
  PutU32(parts.fileHeader + 10, static_cast<std::uint32_t>(BmpFileHeaderSize + parts.headSize));
  return true;
}

bool WriteBmpFile(const CDibImage &image, const ByteSink &sink) {
  BmpFileParts parts;
  return DescribeBmpFile(image, parts) && sink(parts.fileHeader, BmpFileHeaderSize) &&
         sink(static_cast<const std::uint8_t *>(parts.head), parts.headSize) &&
         sink(parts.rows, parts.rowsSize);
}

std::size_t BmpFileSize(const CDibImage &image) {
  BmpFileParts parts;
  return DescribeBmpFile(image, parts) ? BmpFileHeaderSize + parts.headSize + parts.rowsSize : 0;
}

std::vector<std::uint8_t> EncodeBmpFile(const CDibImage &image) {
  std::vector<std::uint8_t> file;
  file.reserve(BmpFileSize(image));
  WriteBmpFile(image, [&file](const std::uint8_t *data, std::size_t size) {
    file.insert(file.end(), data, data + size);
    return true;
  });
  return file;
}
