#include "codec/refusal.h"

namespace {

const char *Words(DibRefusal why) {
  switch (why) {
  case DibRefusal::None: return "";
  case DibRefusal::TooShort: return "truncated";
  case DibRefusal::HeaderSize: return "unsupported header size";
  case DibRefusal::BadWidth: return "bad width";
  case DibRefusal::BadHeight: return "bad height";
  case DibRefusal::TopDown: return "top-down rows are not supported";
  case DibRefusal::BitCount: return "unsupported bit depth";
  case DibRefusal::Compression: return "unsupported compression";
  case DibRefusal::ColorCount: return "more than 256 colours";
  case DibRefusal::TooLarge: return "picture too large";
  case DibRefusal::FileSignature: return "bad signature";
  case DibRefusal::RowOffset: return "pixel data inside the header";
  case DibRefusal::NoSection: return "not enough memory for the picture";
  case DibRefusal::Unwanted: return "picture too large for this mode";
  }
  return "refused";
}

const char *Words(PngRefusal why) {
  switch (why) {
  case PngRefusal::None: return "";
  case PngRefusal::Signature: return "bad signature";
  case PngRefusal::TooLarge: return "picture too large";
  case PngRefusal::Malformed: return "damaged";
  case PngRefusal::Truncated: return "truncated";
  case PngRefusal::TooLong: return "too much data";
  case PngRefusal::ReadError: return "read error";
  case PngRefusal::NoSection: return "not enough memory for the picture";
  case PngRefusal::Unwanted: return "picture too large for this mode";
  }
  return "refused";
}

} // namespace

std::string DescribeRefusal(const PictureRefusal &refusal) {
  if (refusal.unknownFormat)
    return "not a BMP or PNG file";
  if (refusal.dib != DibRefusal::None)
    return std::string("BMP: ") + Words(refusal.dib);
  if (refusal.png == PngRefusal::None)
    return {};
  std::string words = std::string("PNG: ") + Words(refusal.png);
  if (refusal.chunk[0] != '\0')
    words.append(" in ").append(refusal.chunk);
  return words;
}
