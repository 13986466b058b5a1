#include "codec/refusal.h"

#include <algorithm>

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

// A PNG's reason, with the chunk at fault where there is one.
std::string Words(PngRefusal why, const std::string &chunk) {
  const std::string in = chunk.empty() ? "" : " in " + chunk;
  switch (why) {
  case PngRefusal::None: return "";
  case PngRefusal::Signature: return "bad signature";
  case PngRefusal::TooLarge: return "picture too large";
  case PngRefusal::Truncated: return "truncated" + in;
  case PngRefusal::TooLong: return "too much data";
  case PngRefusal::ReadError: return "read error";
  case PngRefusal::NoSection: return "not enough memory for the picture";
  case PngRefusal::Unwanted: return "picture too large for this mode";
  case PngRefusal::BadChunk: return "bad chunk length or type";
  case PngRefusal::BadCrc: return "bad CRC" + in;
  case PngRefusal::Misplaced: return chunk.empty() ? "chunk out of place" : chunk + " out of place";
  case PngRefusal::UnknownCritical: return "unknown critical chunk " + chunk;
  case PngRefusal::BadHeader: return "bad header" + in;
  case PngRefusal::BadPalette: return "bad palette" + in;
  case PngRefusal::MissingPalette: return "no palette";
  case PngRefusal::BadTransparency: return "bad transparency" + in;
  case PngRefusal::BadZlibHeader: return "bad zlib header" + in;
  case PngRefusal::BadDeflate: return "bad deflate data" + in;
  case PngRefusal::BadAdler: return "bad Adler-32" + in;
  case PngRefusal::Interrupted:
    return chunk.empty() ? "pixel data interrupted" : "pixel data interrupted by " + chunk;
  case PngRefusal::TooLittleData: return "too little pixel data" + in;
  case PngRefusal::TooMuchData: return "too much pixel data" + in;
  case PngRefusal::BadFilter: return "bad filter type" + in;
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
  const char *chunk = refusal.chunk;
  return "PNG: " + Words(refusal.png, std::string(chunk, std::find(chunk, chunk + 4, '\0')));
}
