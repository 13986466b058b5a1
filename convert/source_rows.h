// Reading a source image a row at a time, with one fast path per pixel layout.
//
// A converter says what it needs of a colour through a Rule:
//
//   struct Rule {
//     using Value = ...;                                    // an index, a level, a brightness
//     Value operator()(int red, int green, int blue) const; // the converter's formula
//   };
//
// SourceRows<Rule> then hands the converter's row kernel one reader per row, and reader(x) is
// the Rule's value for pixel x of that row: the value the per-pixel formula gives for
// GetPixelColor (x, y), found without a bounds or depth check per pixel. What makes each path
// exact:
//
//   1, 4, 8 bpp  GetPixelColor reads the colour-table slot the pixel's index names, whatever
//                the index (slots behind the table's count hold black). The Rule is applied
//                once to every slot the depth can name, and the pixel's index picks the result.
//   24, 32 bpp   GetPixelColor takes the blue, green and red bytes at the pixel; so does the
//                reader. The Rule is a function of the colour alone, so while the colour
//                repeats (flat areas of screenshots) its last result is reused, unless the
//                Rule says `static constexpr bool Memo = false;` (cheaper than comparing).
//   16 bpp and   GetPixelColor decodes nothing and gives NoColor, whose low three bytes say
//   the rest     white: every pixel is the Rule's value for white.
//
// A source still being read on another thread (bitmap/row_progress.h) is followed: Row waits
// until its row is final, and fails once the reading has failed, so the converter stops and
// fails too. Converters read rows from the top down, as pictures are decoded.
#pragma once

#include <cstdint>

#include "bitmap/dib_image.h"
#include "bitmap/row_progress.h"

// Inlined whatever the compiler's size heuristics say: a row's reader is called in the
// converters' innermost loops, where a call costs more than the work.
#if defined(__GNUC__)
#define ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define ALWAYS_INLINE __forceinline
#else
#define ALWAYS_INLINE inline
#endif

namespace source_rows {

template <typename Value> struct Indexed1 {
  const std::uint8_t *row;
  const Value *slots;
  Value operator()(int x) const { return slots[row[x >> 3] >> (7 - (x & 7)) & 1]; }
};

template <typename Value> struct Indexed4 {
  const std::uint8_t *row;
  const Value *slots;
  Value operator()(int x) const {
    const int pair = row[x >> 1];
    return slots[x & 1 ? pair & 0x0F : pair >> 4];
  }
};

template <typename Value> struct Indexed8 {
  const std::uint8_t *row;
  const Value *slots;
  Value operator()(int x) const { return slots[row[x]]; }
};

// Blue, green, red at BytesPerPixel × x, and the last colour's result kept for the next pixel
// unless the Rule asks for none.
template <typename Rule> constexpr bool Memo() {
  if constexpr (requires { Rule::Memo; })
    return Rule::Memo;
  else
    return true;
}

template <typename Rule, int BytesPerPixel> struct Direct {
  const std::uint8_t *row;
  const Rule &rule;
  std::uint32_t lastColor = 0xFFFFFFFFu; // no pixel's three bytes make this
  typename Rule::Value last{};

  typename Rule::Value operator()(int x) {
    const std::uint8_t *p = row + static_cast<std::ptrdiff_t>(BytesPerPixel) * x;
    if constexpr (!Memo<Rule>()) {
      return rule(p[2], p[1], p[0]);
    } else {
      const std::uint32_t color =
          p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16;
      if (color != lastColor) {
        lastColor = color;
        last = rule(p[2], p[1], p[0]);
      }
      return last;
    }
  }
};

template <typename Value> struct Uniform {
  Value value;
  Value operator()(int) const { return value; }
};

} // namespace source_rows

template <typename Rule> class SourceRows {
public:
  using Value = typename Rule::Value;

  SourceRows(const CDibImage &source, const Rule &rule)
      : m_source(source), m_rule(rule), m_final(source) {
    const int bitCount = source.BitCount();
    if (bitCount == 1 || bitCount == 4 || bitCount == 8) {
      for (int i = 0; i < 1 << bitCount; ++i) {
        const RgbQuad &slot = source.m_palette[i];
        m_slots[i] = rule(slot.rgbRed, slot.rgbGreen, slot.rgbBlue);
      }
    } else if (bitCount != 24 && bitCount != 32) {
      m_slots[0] = rule(255, 255, 255);
    }
  }

  // Calls kernel(reader) for row y (0 the top row), reader(x) giving pixel x's value, once
  // the row is final; false, without calling it, when the row will never be.
  template <typename Kernel> [[nodiscard]] ALWAYS_INLINE bool Row(int y, Kernel &&kernel) const {
    if (!m_final.Wait(y))
      return false;
    const std::uint8_t *row = m_source.RowAddress(y);
    switch (m_source.BitCount()) {
    case 1: {
      source_rows::Indexed1<Value> reader{row, m_slots};
      kernel(reader);
      return true;
    }
    case 4: {
      source_rows::Indexed4<Value> reader{row, m_slots};
      kernel(reader);
      return true;
    }
    case 8: {
      source_rows::Indexed8<Value> reader{row, m_slots};
      kernel(reader);
      return true;
    }
    case 24: {
      source_rows::Direct<Rule, 3> reader{row, m_rule};
      kernel(reader);
      return true;
    }
    case 32: {
      source_rows::Direct<Rule, 4> reader{row, m_rule};
      kernel(reader);
      return true;
    }
    default: {
      source_rows::Uniform<Value> reader{m_slots[0]};
      kernel(reader);
      return true;
    }
    }
  }

  // Whether row y is known to be final: Row will not wait for it.
  bool Known(int y) const { return m_final.Known(y); }

private:
  const CDibImage &m_source;
  const Rule m_rule;
  Value m_slots[256]{};
  mutable CFinalRows m_final;
};
