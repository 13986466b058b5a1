// The schedule by which error diffusion overlaps its rows, on one thread and across threads
// (error_diffusion.cpp says why it keeps every value and its order as in the plain algorithm).
// The tests size their pictures from these constants, so that they keep reaching the
// schedule's edges when one changes.
#pragma once

class CDibImage;

namespace diffusion {

// Rows diffused together: a band.
inline constexpr int Lanes = 6;
// Cells of a row loaded at a time, and steps run between two loads.
inline constexpr int Chunk = 32;
// Pixels by which each row of a band trails the one above.
inline constexpr int Lag = Chunk + 1;
// Row r + 1 steps pixel x only once row r has stepped pixel x + Reach: the step adds a share
// to the cell right of x, which in the plain order has had its shares from above-left, above
// and above-right (pixel x + 2 of row r) first.
inline constexpr int Reach = 2;

static_assert(Lanes >= 1);
// Within a band the rows step in turn, top first, so a lag of Reach is enough.
static_assert(Lag >= Reach);
// After a block in which row r finished cell x, row r + 1 has touched at most cell
// x + 1 - Lag: that cell must lie below the block, so the block's cells can be reloaded.
static_assert(Lag >= Chunk + 1);

// Bands run side by side on separate threads, each band on the thread that took it, in order
// from the top. A band tells the band below how many pixels its last row has stepped after
// each block, once the block's loads are made; the band below starts a block only when its
// first row may step the whole block. So a band trails the one above by at least this many
// steps:
inline constexpr int BandLead = (Lanes - 1) * Lag + Chunk + Reach;
// The band above loads the first two rows of the band below (rows r + 2 of its last two rows)
// as its own rows finish with their cells. When the first row of the band below steps pixel x
// it touches cells up to x + 1 of the row below it, so those must have been loaded: the band
// above has told that it stepped pixel x + Reach, and it tells only after loading the cells it
// has finished with.
static_assert(Reach >= 1);
// A band that catches up with the one above sleeps until that one is at least this many pixels
// further than needed, so that the two do not take turns at every block. On several threads
// it sleeps until the bands are spread evenly along a band's steps, one thread's share apart
// (SlackFor): a thread on a shared machine is often held up for a while, and the bands then
// have that whole share to drift before one waits again, where at the least slack every
// hold-up stops the band below too, and would pass for turns taken on one core.
inline constexpr int Slack = 4 * Chunk;
static_assert(Slack >= 0);
// The slack of bands of `lanes` rows, `width` pixels long, on `threads` threads.
constexpr int SlackFor(int width, int lanes, int threads) {
  const long long share = (width + (lanes - 1) * static_cast<long long>(Lag)) / threads - BandLead;
  return share > Slack ? static_cast<int>(share) : Slack;
}
// Threads: only as many as bands fit side by side along a row, each BandLead + Slack steps
// behind the one above, and one per this many pixels at most: starting a thread costs about
// as much as diffusing a few thousand.
inline constexpr int PixelsPerThread = 1 << 16;

// DiffuseMonochrome and DiffuseStandard16 on `threads` threads exactly (the tests' way in);
// 0 chooses by the picture's size and the processor, as the two converters do.
bool DiffuseMonochrome(const CDibImage &source, CDibImage &dest, int threads);
bool DiffuseStandard16(const CDibImage &source, CDibImage &dest, int threads);

} // namespace diffusion
