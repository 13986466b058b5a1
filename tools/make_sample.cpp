// Writes a 24-bit sample picture for demos, tests and benchmarks: hue across, brightness down,
// a gray ramp along the bottom.
//
//   vantoly-make-sample [--photo | --screen] [--bitfields] OUTPUT [WIDTH HEIGHT]
//
// --photo adds fine grain, so that no two neighbours are alike, as in a photograph; --screen
// draws a flat desktop instead (windows, title bars, lines of text), as in a screenshot.
// --bitfields writes 32 bits per pixel with red, green and blue masks (and 0xFF in the fourth
// byte), as screen captures are stored. An OUTPUT ending in .png is written as an RGB PNG.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clipboard/file/clipboard_file.h"
#include "codec/bmp_file.h"
#include "codec/png_file.h"
#include "posix/file_io.h"

namespace {

// A smooth colour wheel: the channel peaks at `phase` sixths of the way across.
int Hue(int x, int width, int phase) {
  const int pos = ((x * 6 * 256 / width) - phase * 256 + 6 * 256) % (6 * 256);
  const int d = pos < 3 * 256 ? pos : 6 * 256 - pos;
  const int v = d < 256 ? 255 : d < 512 ? 511 - d : 0;
  return v;
}

void DrawSample(CDibImage &image) {
  const int width = image.Width();
  const int height = image.Height();
  const int band = height / 5;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t *p = image.PixelAddress(x, y);
      if (y >= height - band) {
        const int gray = x * 255 / (width > 1 ? width - 1 : 1);
        p[0] = p[1] = p[2] = static_cast<std::uint8_t>(gray);
        continue;
      }
      const int light = 255 - y * 255 / (height - band);
      p[2] = static_cast<std::uint8_t>(Hue(x, width, 0) * light / 255);
      p[1] = static_cast<std::uint8_t>(Hue(x, width, 2) * light / 255);
      p[0] = static_cast<std::uint8_t>(Hue(x, width, 4) * light / 255);
    }
  }
}

// Grain of ±16 per channel from a fixed hash of the position: the same file on every run.
void AddGrain(CDibImage &image) {
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) {
      std::uint8_t *p = image.PixelAddress(x, y);
      std::uint32_t h =
          static_cast<std::uint32_t>(x) * 0x9E3779B1u ^ static_cast<std::uint32_t>(y) * 0x85EBCA77u;
      for (int c = 0; c < 3; ++c) {
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 12;
        const int v = p[c] + static_cast<int>(h % 33) - 16;
        p[c] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
  }
}

void Fill(CDibImage &image, int left, int top, int right, int bottom, int r, int g, int b) {
  for (int y = top; y < bottom && y < image.Height(); ++y)
    for (int x = left; x < right && x < image.Width(); ++x) {
      std::uint8_t *p = image.PixelAddress(x, y);
      p[0] = static_cast<std::uint8_t>(b);
      p[1] = static_cast<std::uint8_t>(g);
      p[2] = static_cast<std::uint8_t>(r);
    }
}

// A desktop with a few windows: flat colours, title bars, and rows of dark "glyphs" on white.
void DrawScreen(CDibImage &image) {
  const int width = image.Width();
  const int height = image.Height();
  Fill(image, 0, 0, width, height, 58, 110, 165);
  Fill(image, 0, height - height / 30 - 1, width, height, 30, 30, 36);
  for (int w = 0; w < 3; ++w) {
    const int left = width / 12 + w * width / 4;
    const int top = height / 10 + w * height / 8;
    const int right = left + width / 2;
    const int bottom = top + height / 2;
    Fill(image, left, top, right, bottom, 240, 240, 240);
    Fill(image, left, top, right, top + height / 40 + 1, 0, 84, 166 - 40 * w);
    for (int line = top + height / 20; line + 12 < bottom; line += 18)
      for (int x = left + 16; x + 8 < right - 16; x += 9)
        if ((x / 9 * 7 + line / 18 * 3) % 11 != 0)
          Fill(image, x, line, x + 6, line + 10, 20, 20, 20);
  }
}

void PutU32(std::vector<std::uint8_t> &bytes, std::size_t at, std::uint32_t v) {
  std::memcpy(&bytes[at], &v, sizeof v);
}

// The picture as a 32-bit bit-field BMP file: a 40-byte header, three masks, then the rows.
std::vector<std::uint8_t> EncodeBitFields(const CDibImage &image) {
  const auto width = static_cast<std::size_t>(image.Width());
  const auto height = static_cast<std::size_t>(image.Height());
  const std::size_t offBits = BmpFileHeaderSize + DibHeaderSize + 12;
  std::vector<std::uint8_t> file(offBits + 4 * width * height, 0);
  file[0] = 'B';
  file[1] = 'M';
  PutU32(file, 2, static_cast<std::uint32_t>(file.size()));
  PutU32(file, 10, static_cast<std::uint32_t>(offBits));
  DibInfoHeader header = image.m_header;
  header.biBitCount = 32;
  header.biCompression = 3;
  std::memcpy(&file[BmpFileHeaderSize], &header, sizeof header);
  PutU32(file, BmpFileHeaderSize + DibHeaderSize, 0x00FF0000);
  PutU32(file, BmpFileHeaderSize + DibHeaderSize + 4, 0x0000FF00);
  PutU32(file, BmpFileHeaderSize + DibHeaderSize + 8, 0x000000FF);
  std::uint8_t *out = &file[offBits];
  for (std::size_t row = 0; row < height; ++row) {
    const std::uint8_t *in = image.m_bits + static_cast<std::size_t>(image.m_stride) * row;
    for (std::size_t x = 0; x < width; ++x, in += 3, out += 4) {
      out[0] = in[0];
      out[1] = in[1];
      out[2] = in[2];
      out[3] = 0xFF;
    }
  }
  return file;
}

int Usage() {
  std::fputs(
      "usage: vantoly-make-sample [--photo | --screen] [--bitfields] OUTPUT [WIDTH HEIGHT]\n",
      stderr);
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  bool photo = false;
  bool screen = false;
  bool bitFields = false;
  std::vector<const char *> operands;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--photo") == 0)
      photo = true;
    else if (std::strcmp(argv[i], "--screen") == 0)
      screen = true;
    else if (std::strcmp(argv[i], "--bitfields") == 0)
      bitFields = true;
    else if (std::strncmp(argv[i], "--", 2) == 0)
      return Usage();
    else
      operands.push_back(argv[i]);
  }
  if ((operands.size() != 1 && operands.size() != 3) || (photo && screen))
    return Usage();
  const int width = operands.size() == 3 ? std::atoi(operands[1]) : 320;
  const int height = operands.size() == 3 ? std::atoi(operands[2]) : 200;
  CDibImage image;
  if (!image.Create(width, height, 24)) {
    std::fputs("vantoly-make-sample: bad size\n", stderr);
    return 2;
  }
  if (screen) {
    DrawScreen(image);
  } else {
    DrawSample(image);
    if (photo)
      AddGrain(image);
  }
  std::vector<std::uint8_t> file;
  if (FormatForName(operands[0]) == FileFormat::Png) {
    if (bitFields)
      return Usage();
    WritePng(image, [&file](const std::uint8_t *data, std::size_t size) {
      file.insert(file.end(), data, data + size);
      return true;
    });
  } else {
    file = bitFields ? EncodeBitFields(image) : EncodeBmpFile(image);
  }
  if (!ReplaceFileAtomically(operands[0], file.data(), file.size())) {
    std::perror(operands[0]);
    return 1;
  }
  return 0;
}
