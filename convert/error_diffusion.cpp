// Modes 6 and 7: Floyd–Steinberg error diffusion to black and white or to a colour table.
//
// One pass, top row to bottom, left to right in every row (never serpentine). Each pixel's
// error goes to the four unprocessed neighbours with the weights 7/16 (right), 3/16 (below
// left), 5/16 (below) and 1/16 (below right); shares that would leave the image are dropped.
// Each update is old + e × weight with the product and the sum rounded to double separately,
// and values are never clamped in the buffers. Several rows are diffused at once, on several
// threads when the picture is large enough, but every cell gets the same values in the same
// order as in the plain algorithm, whatever the number of threads. Memory: two row buffers of
// doubles however many threads, each with a spare cell at either end (DiffuseRows), and a
// cache line per thread for what the threads tell each other (band_threads.h).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "convert/band_threads.h"
#include "convert/converters.h"
#include "convert/error_diffusion.h"
#include "convert/source_rows.h"

// The per-pixel steps are inlined into the loop over the rows in flight whatever its size
// (ALWAYS_INLINE, from source_rows.h).

namespace {

constexpr double WeightRight = 0.4375;      // 7/16
constexpr double WeightBelowLeft = 0.1875;  // 3/16
constexpr double WeightBelow = 0.3125;      // 5/16
constexpr double WeightBelowRight = 0.0625; // 1/16
constexpr double MonochromeThreshold = 0.5;

// Two doubles side by side, a cell's red and green: one instruction works on both, and on
// each it is the same IEEE operation as on a lone double. Compilers without vector types
// (MSVC) do the same operations one double at a time.
#if defined(__GNUC__)
using Pair = double __attribute__((vector_size(2 * sizeof(double))));
#else
struct Pair {
  double lane[2];
  double operator[](int i) const { return lane[i]; }
  friend Pair operator+(Pair a, Pair b) { return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]}}; }
  friend Pair operator-(Pair a, Pair b) { return {{a.lane[0] - b.lane[0], a.lane[1] - b.lane[1]}}; }
  friend Pair operator*(Pair a, double w) { return {{a.lane[0] * w, a.lane[1] * w}}; }
};
#endif
ALWAYS_INLINE Pair LoadPair(const double *p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
ALWAYS_INLINE void StorePair(double *p, Pair v) { std::memcpy(p, &v, sizeof v); }

// A pixel's error: of its brightness, or of its red and green and of its blue.
struct ColorError {
  Pair redGreen;
  double blue;
};

ALWAYS_INLINE void AddShare(double *cell, double error, double weight) {
  cell[0] = cell[0] + error * weight;
}
ALWAYS_INLINE void AddShare(double *cell, ColorError error, double weight) {
  StorePair(cell, LoadPair(cell) + error.redGreen * weight);
  cell[2] = cell[2] + error.blue * weight;
}

// What the pixel at `at` gives its four unprocessed neighbours, `cell` doubles apart: the
// plain algorithm's step. A cell of the next row gets 1/16 from the pixel above-left, 5/16
// from the one above, 3/16 from the one above-right, in that order, as rows run left to
// right. Shares that would leave the image land in the spare cell at each end of a row
// buffer, which nothing reads.
template <typename Error>
ALWAYS_INLINE void Spread(double *current, double *next, std::size_t at, std::size_t cell,
                          Error error) {
  AddShare(current + at + cell, error, WeightRight);
  AddShare(next + at - cell, error, WeightBelowLeft);
  AddShare(next + at, error, WeightBelow);
  AddShare(next + at + cell, error, WeightBelowRight);
}

// What a row buffer holds per pixel: its brightness, or its red, green and blue. Either is
// cheaper to work out again than to compare with the pixel before (no memo).
struct LuminanceRule {
  using Value = double;
  static constexpr int Channels = 1;
  static constexpr bool Memo = false;
  Value operator()(int r, int g, int b) const { return LuminanceOf(r, g, b); }
  static void Store(double *cell, Value v) { cell[0] = v; }
};

// Every byte as a double: a load is cheaper than a conversion.
struct ByteValues {
  double of[256];
};
constexpr ByteValues Byte = [] {
  ByteValues values{};
  for (int i = 0; i < 256; ++i)
    values.of[i] = i;
  return values;
}();

struct ChannelRule {
  struct Value {
    double red, green, blue;
  };
  static constexpr int Channels = 3;
  static constexpr bool Memo = false;
  Value operator()(int r, int g, int b) const { return {Byte.of[r], Byte.of[g], Byte.of[b]}; }
  static void Store(double *cell, Value c) {
    cell[0] = c.red;
    cell[1] = c.green;
    cell[2] = c.blue;
  }
};

// A row loader over a source whose layout was looked at once. A row outside the source, or a
// source without pixels, reads as white, as GetPixelColor reads it.
template <typename Rule> class RowLoader {
public:
  static constexpr int Channels = Rule::Channels;

  explicit RowLoader(const CDibImage &source) : m_source(source), m_rows(source, Rule{}) {}

  // Pixels from .. to - 1 of row y into their cells of `row`; false when the row will never
  // be there (its reading failed).
  [[nodiscard]] bool Load(int y, double *row, int from, int to) const {
    const auto cell = [row](int x) { return row + static_cast<std::size_t>(x) * Channels; };
    if (!m_source.HasSection() || y < 0 || y >= m_source.Height()) {
      const auto white = Rule{}(255, 255, 255);
      for (int x = from; x < to; ++x)
        Rule::Store(cell(x), white);
      return true;
    }
    return m_rows.Row(y, [&](auto &pixel) {
      for (int x = from; x < to; ++x)
        Rule::Store(cell(x), pixel(x));
    });
  }
  [[nodiscard]] bool Load(int y, double *row) const { return Load(y, row, 0, m_source.Width()); }
  // Whether Load will not wait for row y.
  bool Known(int y) const {
    return !m_source.HasSection() || y < 0 || y >= m_source.Height() || m_rows.Known(y);
  }

private:
  const CDibImage &m_source;
  const SourceRows<Rule> m_rows;
};

// Each pixel waits for its left neighbour's error, so a row alone is one long chain of
// dependent steps. Lanes rows are therefore diffused together, a band, each Lag pixels behind
// the one above, and the processor overlaps their chains; bands run side by side on separate
// threads, each trailing the band above. Still only two row buffers exist, however many
// threads: row r lives in buffer r % 2, every row's cells taken over by the row two below as
// it leaves them, so the rows in flight lie along a diagonal across both buffers. What keeps
// every cell's values and their order as in the plain algorithm:
// - a pixel of row r + 1 is processed only after row r has processed the pixel Reach to the
//   right of it (Lag >= Reach, rows stepped top first within a band; across bands, the band
//   below waits for what the band above tells it);
// - rows 0 and 1 are loaded first, and row r + 2 is loaded into buffer r % 2, Chunk cells at a
//   time, just after row r has finished with them and before row r + 1 gives any of them a
//   share: time runs in blocks of Chunk steps, and after a block in which row r finished
//   cell x, row r + 1 of the same band has touched at most cell x + 1 - Lag, which is below the
//   block; a band tells the band below how far it has come only after the block's loads;
// - a band publishes its rows of the destination only after the band above has published its
//   own, so rows are published in order, each once final.
// The constants and the relations between them are in error_diffusion.h.
using diffusion::BandLead;
using diffusion::Chunk;
using diffusion::Lag;
using diffusion::Lanes;
using diffusion::PixelsPerThread;
using diffusion::Reach;

// f(k) for k = 0 .. Lanes - 1, each k a constant.
template <typename F> void ForEachLane(F f) {
  [&]<int... K>(std::integer_sequence<int, K...>) { (f(std::integral_constant<int, K>{}), ...); }
  (std::make_integer_sequence<int, Lanes>{});
}

// Threads worth starting for a picture of bands of `lanes` rows: no more than the processor
// runs at once, than there are bands, than the pixels pay for, or than bands fit side by side
// along a row.
int ThreadsFor(int width, int height, int lanes) {
  const std::int64_t bands = (height + lanes - 1) / lanes;
  const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
  const std::int64_t abreast =
      (width + static_cast<std::int64_t>(lanes - 1) * Lag) / (BandLead + diffusion::Slack);
  const std::int64_t threads =
      std::min({static_cast<std::int64_t>(std::thread::hardware_concurrency()), bands,
                pixels / PixelsPerThread, abreast});
  return threads < 1 ? 1 : static_cast<int>(threads);
}

// Band `band` of a picture `width` × `height` in bands of `lanes` rows, whose rows live in
// `buffer`; DiffuseRows says the rest. False when a source row never came or the band above
// failed.
template <typename Loader, typename MakeRow, typename Waits>
bool DiffuseBand(diffusion::Bands &bands, int band, Loader &rows, Waits &waits,
                 const CDibImage &dest, MakeRow &makeRow, double *const *buffer, int width,
                 int height, int lanes, bool alone) {
  const auto clip = [width](int x) { return x < 0 ? 0 : x > width ? width : x; };
  const int y = band * lanes;
  const int count = height - y < lanes ? height - y : lanes;
  double *const bufferOfLane[2] = {buffer[y % 2], buffer[1 - y % 2]}; // lane k: k % 2
  std::array<decltype(makeRow(0)), Lanes> row;
  for (int k = 0; k < count; ++k)
    row[static_cast<std::size_t>(k)] = makeRow(y + k);
  // In step t, lane k (row y + k) is at pixel t - k × Lag. Blocks where every lane is inside
  // the image skip the test.
  const int steps = width + (count - 1) * Lag;
  const auto run = [&](int block, auto everyLane) {
    auto lane = row; // a local copy, indexed by constants only, can stay in registers
    for (int t = block; t < block + Chunk && t < steps; ++t)
      ForEachLane([&](auto k) {
        const int x = t - k * Lag;
        if (everyLane || (k < count && x >= 0 && x < width))
          lane[k].Step(x, bufferOfLane[k % 2], bufferOfLane[1 - k % 2]);
      });
    row = lane;
  };
  // How far the band above is known to have come.
  int above = band == 0 || alone ? bands.Done() : 0;
  for (int block = 0; block < steps; block += Chunk) {
    const int needed = std::min(block + Chunk + Reach, width);
    if (above < needed) {
      waits.telling = rows.Known(height - 1);
      if ((above = bands.Await(band - 1, needed, above, waits)) < 0)
        return false;
    }
    if (count == Lanes && block >= (Lanes - 1) * Lag && block + Chunk <= width)
      run(block, std::true_type{});
    else
      run(block, std::false_type{});
    for (int k = 0; k < count && y + k + 2 < height; ++k) {
      const int from = clip(block - k * Lag), to = clip(block + Chunk - k * Lag);
      if (from < to) {
        // Standing still while the source is read is no sign of turns to the band below.
        const bool mayWait = !alone && !rows.Known(y + k + 2);
        if (mayWait)
          bands.Asleep(band, true);
        const bool loaded = rows.Load(y + k + 2, bufferOfLane[k % 2], from, to);
        if (mayWait)
          bands.Asleep(band, false);
        if (!loaded)
          return false;
      }
    }
    if (!alone)
      bands.Tell(band, clip(block + Chunk - (count - 1) * Lag));
  }
  for (int k = 0; k < count; ++k)
    row[static_cast<std::size_t>(k)].Finish();
  if (above < bands.Done() && bands.Await(band - 1, bands.Done(), 0, waits) < 0)
    return false;
  if (!PublishRows(dest, y + count))
    return false; // not wanted any more: the request has failed elsewhere
  if (!alone)
    bands.Tell(band, bands.Done());
  return true;
}

// `makeRow(y)` makes row y's quantiser for `dest`: Step(x, current, next) quantises pixel x
// from its cell and spreads its error; Finish() when the row is done. False when a source row
// never came. `threads`: 0 to choose.
template <typename Loader, typename MakeRow>
bool DiffuseRows(const Loader &loader, const CDibImage &dest, MakeRow makeRow, int threads) {
  constexpr int Channels = Loader::Channels;
  const int width = dest.Width();
  const int height = dest.Height();
  const auto size = (static_cast<std::size_t>(width) + 2) * Channels;
  std::vector<double> even(size);
  std::vector<double> odd(size);
  double *const buffer[2] = {even.data() + Channels, odd.data() + Channels};
  if (!loader.Load(0, buffer[0]) || (height > 1 && !loader.Load(1, buffer[1])))
    return false;
  // Rows narrower than Lag cannot overlap: one at a time, without stepping through the gaps.
  const int lanes = width < Lag ? 1 : Lanes;
  if (threads < 1)
    threads = ThreadsFor(width, height, lanes);
  diffusion::Bands bands((height + lanes - 1) / lanes, width, threads,
                         diffusion::SlackFor(width, lanes, threads));
  return RunBands(bands, loader, threads, [&](int band, Loader &rows, auto &waits) {
    return DiffuseBand(bands, band, rows, waits, dest, makeRow, buffer, width, height, lanes,
                       threads == 1);
  });
}

// Writes the indices of a row of Bits bits per pixel, a byte at a time, as SetPixelIndex
// would one by one: an index the depth cannot hold leaves the pixel as it was, and so does
// every index when the depth holds none (Bits 0). The bits of the last byte that hold no
// pixel are left as they were. No index is above Largest, so the depth's reach is checked
// only when it might matter.
template <int Bits, int Largest> class PackedWriter {
public:
  PackedWriter() = default;
  PackedWriter(std::uint8_t *row, int width) : m_row(row), m_width(width) {}

  ALWAYS_INLINE void Put(int x, int index) {
    if constexpr (Bits != 0) {
      if (Largest >> Bits != 0 && index >> Bits != 0)
        index = m_row[x / PerByte] >> Shift(x) & Mask; // its byte is not written yet
      m_bits = m_bits << Bits | static_cast<unsigned>(index);
      if ((x + 1) % PerByte == 0)
        m_row[x / PerByte] = static_cast<std::uint8_t>(m_bits);
    }
  }
  void Finish() {
    const int used = m_width % PerByte * Bits;
    if (used == 0)
      return;
    const unsigned mine = (0xFFu << (8 - used)) & 0xFFu;
    std::uint8_t &last = m_row[m_width / PerByte];
    last = static_cast<std::uint8_t>((last & ~mine) | (m_bits << (8 - used) & mine));
  }

private:
  static constexpr int PerByte = Bits == 0 ? 1 : 8 / Bits;
  static constexpr unsigned Mask = (1u << Bits) - 1;
  static int Shift(int x) { return 8 - Bits - x % PerByte * Bits; }

  std::uint8_t *m_row = nullptr;
  int m_width = 0;
  unsigned m_bits = 0;
};

// Halves away from zero, then clamped to 0..255, with the clamp first: a value at or below 0
// ends as 0 either way, one at or above 255 as 255, and one in between is rounded by adding
// 0.5 and truncating, as a value above 0 is. The clamp is the processor's maximum and minimum
// where it has them: a compiler may otherwise branch on the value, which noise mispredicts.
ALWAYS_INLINE int ToChannel(double v) {
#if defined(__SSE2__)
  v = _mm_cvtsd_f64(_mm_min_sd(_mm_max_sd(_mm_set_sd(v), _mm_setzero_pd()), _mm_set_sd(255.0)));
#else
  v = v > 0.0 ? v : 0.0;
  v = v < 255.0 ? v : 255.0;
#endif
  return static_cast<int>(v + 0.5);
}

// The nearest entry of the destination's table to a rounded, clamped colour, by a key the
// entry's colour is looked up with: the standard colours' rank (see StandardColorFinder), or
// the index itself for any other table (NearestPaletteIndex).
struct StandardSearch {
  static constexpr int Keys = StandardColorFinder::Ranks;
  static constexpr int Largest = 15;
  static int Key(int r, int g, int b) { return StandardColorFinder::Rank(r, g, b); }
  static int Index(int key) { return StandardColorFinder::IndexOfRank(key); }
};

struct TableSearch {
  static constexpr int Keys = MaxPaletteEntries;
  static constexpr int Largest = MaxPaletteEntries - 1;
  const RgbQuad *palette;
  int count;
  int Key(int r, int g, int b) const {
    return NearestPaletteIndex(palette, count, RgbColor(r, g, b));
  }
  static int Index(int key) { return key; }
};

// A colour-table entry as the errors need it.
struct Entry {
  Pair redGreen;
  double blue;
};

// DiffuseStandard16's row for a destination of Bits bits per pixel: the nearest entry's index,
// and errors from that entry's bytes.
template <int Bits, typename Search> struct ColorRow {
  using Writer = PackedWriter<Bits, Search::Largest>;
  Writer out;
  const Search *search = nullptr;
  const Entry *entryOfKey = nullptr;

  ALWAYS_INLINE void Step(int x, double *current, double *next) {
    const std::size_t at = static_cast<std::size_t>(x) * 3;
    const Pair redGreen = LoadPair(current + at);
    const double blue = current[at + 2];
    const int key = search->Key(ToChannel(redGreen[0]), ToChannel(redGreen[1]), ToChannel(blue));
    // From the unrounded, unclamped values: what clamping cut off is passed on too.
    const Entry &e = entryOfKey[static_cast<unsigned>(key)];
    const ColorError error{redGreen - e.redGreen, blue - e.blue};
    out.Put(x, Search::Index(key));
    Spread(current, next, at, 3, error);
  }
  void Finish() { out.Finish(); }
};

template <int Bits, typename Search>
bool DiffuseColors(const RowLoader<ChannelRule> &rows, CDibImage &dest, const Search &search,
                   const Entry *entryOfKey, int threads) {
  return DiffuseRows(
      rows, dest,
      [&](int y) {
        using Row = ColorRow<Bits, Search>;
        return Row{typename Row::Writer(dest.RowAddress(y), dest.Width()), &search, entryOfKey};
      },
      threads);
}

template <typename Search>
bool DiffuseColorsAnyDepth(const RowLoader<ChannelRule> &rows, CDibImage &dest,
                           const Search &search, int threads) {
  Entry entryOfKey[Search::Keys]{};
  for (int key = 0; key < Search::Keys; ++key) {
    const int i = Search::Index(key);
    if (i < dest.m_paletteCount) {
      const RgbQuad &e = dest.m_palette[i];
      entryOfKey[key] = {Pair{double(e.rgbRed), double(e.rgbGreen)}, double(e.rgbBlue)};
    }
  }
  switch (dest.BitCount()) {
  case 1: return DiffuseColors<1>(rows, dest, search, entryOfKey, threads);
  case 4: return DiffuseColors<4>(rows, dest, search, entryOfKey, threads);
  case 8: return DiffuseColors<8>(rows, dest, search, entryOfKey, threads);
  default: return DiffuseColors<0>(rows, dest, search, entryOfKey, threads);
  }
}

// The output level of a brightness: 1.0 above the threshold, else 0.0. Worked out as a mask,
// not chosen: noise would mispredict a choice, and the mask is a step shorter than turning the
// pixel's bit into a double.
ALWAYS_INLINE double Level(double v) {
#if defined(__SSE2__)
  const __m128d above = _mm_cmplt_sd(_mm_set_sd(MonochromeThreshold), _mm_set_sd(v));
  return _mm_cvtsd_f64(_mm_and_pd(above, _mm_set_sd(1.0)));
#else
  return v > MonochromeThreshold ? 1.0 : 0.0;
#endif
}

struct MonochromeRow {
  PackedWriter<1, 1> out;

  ALWAYS_INLINE void Step(int x, double *current, double *next) {
    const double v = current[x];
    out.Put(x, v > MonochromeThreshold ? 1 : 0);
    Spread(current, next, static_cast<std::size_t>(x), 1, v - Level(v));
  }
  void Finish() { out.Finish(); }
};

bool SameSize(const CDibImage &a, const CDibImage &b) {
  return a.Width() == b.Width() && a.Height() == b.Height();
}

} // namespace

void LoadRgbRow(const CDibImage &source, int y, double *row) {
  static_cast<void>(RowLoader<ChannelRule>(source).Load(y, row));
}

void LoadLuminanceRow(const CDibImage &source, int y, double *row) {
  static_cast<void>(RowLoader<LuminanceRule>(source).Load(y, row));
}

bool diffusion::DiffuseMonochrome(const CDibImage &source, CDibImage &dest, int threads) {
  if (!source.HasSection() || !dest.HasSection() || dest.BitCount() != 1 || !SameSize(source, dest))
    return false;
  const RowLoader<LuminanceRule> rows(source);
  return DiffuseRows(
      rows, dest,
      [&dest](int y) {
        return MonochromeRow{PackedWriter<1, 1>(dest.RowAddress(y), dest.Width())};
      },
      threads);
}

bool diffusion::DiffuseStandard16(const CDibImage &source, CDibImage &dest, int threads) {
  if (!source.HasSection() || !dest.HasSection() || dest.m_paletteCount < 1 ||
      !SameSize(source, dest))
    return false;
  const RowLoader<ChannelRule> rows(source);
  if (IsStandardPalette16(dest.m_palette, dest.m_paletteCount))
    return DiffuseColorsAnyDepth(rows, dest, StandardSearch(), threads);
  return DiffuseColorsAnyDepth(rows, dest, TableSearch{dest.m_palette, dest.m_paletteCount},
                               threads);
}

bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest) {
  return diffusion::DiffuseMonochrome(source, dest, 0);
}

bool DiffuseStandard16(const CDibImage &source, CDibImage &dest) {
  return diffusion::DiffuseStandard16(source, dest, 0);
}
