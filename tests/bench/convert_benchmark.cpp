// One request at screenshot size: read the clipboard block, convert, write the result block.
// Screen captures arrive as 32-bit bit-field blocks, so that is what is read here. Beside it,
// the conversion alone, on noise (every pixel its own colour, the worst case for the
// converters' memos and tables) and on a flat screenshot-like picture.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "app/core/conversion_mode.h"
#include "codec/packed_dib.h"
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

// Windows, panels and lines of text in a dozen colours.
ColorValue ScreenPixel(int x, int y) {
  static constexpr ColorValue Colors[12] = {0xFFFFFF, 0xF0F0F0, 0xE1E1E1, 0x202020,
                                            0xD77800, 0xFFFFFF, 0x333333, 0xF3F3F3,
                                            0x0078D7, 0xFFFFFF, 0x99CC00, 0xCCCCCC};
  const bool text = y % 24 < 12 && x % 9 < 3 && (x / 300 + y / 24) % 4 != 0;
  return text ? 0x1E1E1E : Colors[(x / 480 + y / 270 * 3) % 12];
}

void ConvertOnly(benchmark::State &state) {
  const int mode = static_cast<int>(state.range(0));
  const bool flat = state.range(1) != 0;
  CDibImage source;
  if (flat)
    MakeImage24(source, Width, Height, ScreenPixel);
  else
    ReadPackedDib(ScreenshotBlock().data(), ScreenshotBlock().size(), source);
  for (auto _ : state) {
    CDibImage dest;
    ConversionModes[mode].convert(source, dest);
    benchmark::DoNotOptimize(dest.m_bits);
  }
  state.SetLabel(flat ? "flat" : "noise");
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
BENCHMARK(ConvertOnly)
    ->ArgsProduct({benchmark::CreateDenseRange(0, ConversionModeCount - 1, 1), {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
