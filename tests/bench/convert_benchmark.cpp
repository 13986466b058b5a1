// One request at screenshot size: read the clipboard block, convert, write the result block.
// Screen captures arrive as 32-bit bit-field blocks, so that is what is read here.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "app/conversion_mode.h"
#include "clipboard/packed_dib.h"
#include "test_images.h"

namespace {

constexpr int Width = 3840;
constexpr int Height = 2160;

const std::vector<std::uint8_t> &ScreenshotBlock() {
  static const std::vector<std::uint8_t> block = [] {
    DibLayout layout{.width = Width,
                 .height = Height,
                 .bitCount = 32,
                 .compression = 3,
                 .masks = {0x00FF0000, 0x0000FF00, 0x000000FF}};
    layout.rows.resize(static_cast<std::size_t>(Width) * Height * 4);
    for (std::size_t i = 0; i < layout.rows.size(); ++i)
      layout.rows[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    return BuildPackedDib(layout);
  }();
  return block;
}

// The round trip must hold before anything is timed: what the writer lays out reads back
// as the same image.
bool CheckRoundTrip(int mode) {
  const auto &block = ScreenshotBlock();
  CDibImage source, dest, back;
  if (!ReadPackedDib(block.data(), block.size(), source) ||
      !ConversionModes[mode].convert(source, dest))
    return false;
  const auto out = PackedBytes(dest);
  return ReadPackedDib(out.data(), out.size(), back) && PackedBytes(back) == out;
}

void ConvertRequest(benchmark::State &state) {
  const int mode = static_cast<int>(state.range(0));
  if (!CheckRoundTrip(mode)) {
    state.SkipWithError("round trip failed");
    return;
  }
  const auto &block = ScreenshotBlock();
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    CDibImage source, dest;
    ReadPackedDib(block.data(), block.size(), source);
    ConversionModes[mode].convert(source, dest);
    out.resize(PackedDibSize(dest));
    WritePackedDib(dest, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["Mpixel/s"] =
      benchmark::Counter(Width * Height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(ConvertRequest)->DenseRange(0, ConversionModeCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
