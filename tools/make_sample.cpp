// Writes a 24-bit sample picture for demos and tests: hue across, brightness down, a gray
// ramp along the bottom. Usage: vantoly-make-sample OUTPUT [WIDTH HEIGHT]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "clipboard/bmp_file.h"
#include "clipboard/clipboard_file.h"

namespace {

// A smooth colour wheel: the channel peaks at `phase` sixths of the way across.
int Hue(int x, int width, int phase) {
  const int pos = ((x * 6 * 256 / width) - phase * 256 + 6 * 256) % (6 * 256);
  const int d = pos < 3 * 256 ? pos : 6 * 256 - pos;
  const int v = d < 256 ? 255 : d < 512 ? 511 - d : 0;
  return v;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 4) {
    std::fputs("usage: vantoly-make-sample OUTPUT [WIDTH HEIGHT]\n", stderr);
    return 2;
  }
  const int width = argc == 4 ? std::atoi(argv[2]) : 320;
  const int height = argc == 4 ? std::atoi(argv[3]) : 200;
  CDibImage image;
  if (!image.Create(width, height, 24)) {
    std::fputs("vantoly-make-sample: bad size\n", stderr);
    return 2;
  }
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
  const std::vector<std::uint8_t> file = EncodeBmpFile(image);
  if (!ReplaceFileAtomically(argv[1], file.data(), file.size())) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
