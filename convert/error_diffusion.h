// The schedule by which error diffusion overlaps its rows (error_diffusion.cpp says why it
// keeps every value and its order as in the plain algorithm). The tests size their pictures
// from these constants, so that they keep reaching the schedule's edges when one changes.
#pragma once

namespace diffusion {

// Rows diffused together.
inline constexpr int Lanes = 6;
// Cells of a row loaded at a time, and steps run between two loads.
inline constexpr int Chunk = 32;
// Pixels by which each row trails the one above.
inline constexpr int Lag = Chunk + 1;

static_assert(Lanes >= 1);
// A pixel is stepped only after the pixels above, above-left and above-right have given it
// their shares.
static_assert(Lag >= 2);
// After a block in which row r finished cell x, row r + 1 has touched at most cell
// x + 1 - Lag: that cell must lie below the block, so the block's cells can be reloaded.
static_assert(Lag >= Chunk + 1);

} // namespace diffusion
