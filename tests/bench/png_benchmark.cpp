// Writing a screenshot-sized result as a PNG, per mode, from two sources: a smooth picture (the
// results are long runs and repeated rows) and noise (nothing repeats: zlib's worst case).
// Every written file is read back and compared before anything is timed.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "app/core/conversion_mode.h"
#include "codec/png_file.h"
#include "test_images.h"

namespace {

constexpr int Width = 3840;
constexpr int Height = 2160;

const CDibImage &Source(int kind) {
  static CDibImage smooth, noise;
  CDibImage &image = kind == 0 ? smooth : noise;
  if (!image.HasSection()) {
    if (kind == 0) {
      MakeImage24(image, Width, Height, [](int x, int y) {
        return RgbColor(x * 255 / Width, y * 255 / Height, (x + y) * 255 / (Width + Height));
      });
    } else {
      image.Create(Width, Height, 24);
      std::uint64_t state = 88172645463325252u;
      for (std::size_t i = 0; i < image.RowsSize(); ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        image.m_bits[i] = static_cast<std::uint8_t>(state >> 40);
      }
    }
  }
  return image;
}

std::vector<std::uint8_t> Encode(const CDibImage &image) {
  std::vector<std::uint8_t> png;
  WritePng(image, [&](const std::uint8_t *data, std::size_t size) {
    png.insert(png.end(), data, data + size);
    return true;
  });
  return png;
}

bool SameColours(const CDibImage &a, const CDibImage &b) {
  if (a.Width() != b.Width() || a.Height() != b.Height())
    return false;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if (a.GetPixelColor(x, y) != b.GetPixelColor(x, y))
        return false;
  return true;
}

void WriteResultPng(benchmark::State &state) {
  const int mode = static_cast<int>(state.range(0));
  CDibImage result;
  ConversionModes[mode].convert(Source(static_cast<int>(state.range(1))), result);
  std::vector<std::uint8_t> png = Encode(result);
  CDibImage back;
  if (!ReadPngBytes(png.data(), png.size(), back) || !SameColours(result, back)) {
    state.SkipWithError("round trip failed");
    return;
  }
  for (auto _ : state) {
    png.clear();
    WritePng(result, [&](const std::uint8_t *data, std::size_t size) {
      png.insert(png.end(), data, data + size);
      return true;
    });
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["bytes"] = static_cast<double>(png.size());
  state.counters["Mpixel/s"] =
      benchmark::Counter(static_cast<double>(result.Width()) * result.Height() / 1e6,
                         benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(WriteResultPng)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1}})
    ->ArgNames({"mode", "noise"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
