// Bands of rows worked on several threads, each band following the one above it across the
// width (the error diffusion's schedule, error_diffusion.h).
//
// Bands are taken in order from the top by whichever thread is free. A band waits only for the
// one above, which a running thread has taken before it, so the work never waits for a thread
// that could not be started, and the calling thread works too.
//
// What a band tells the band below lives in a slot per thread plus one: band b in slot
// b % slots, as b / slots × (width + 2) plus its progress, 0 .. width pixels of its last row
// stepped, width + 1 when it is done (its rows finished and published). So a slot's values
// only grow as its bands follow one another, and a value beyond band b's range says that band
// b is done. A band takes the slot over only after band b is done and no longer waited for:
// bands are done in order, each after the one above, a thread holds one band at a time, and
// the threads take bands through one counter, so that by the time band b + slots is taken some
// thread has been done with a band below b.
//
// Threads that share a core take turns rather than run side by side, and would take them at
// every band or more often. A thread that, each time it has to wait, finds the band above
// where it was at its last look, although it has worked since and the band above was not
// waiting itself, is taking turns with the thread above: it stops taking bands and leaves them
// to the others (one core, or fewer cores than threads). The calling thread always sees the
// work through.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace diffusion {

class Bands {
public:
  // A thread's own account of its waits.
  struct Waits {
    bool mayStop = false; // not the calling thread
    int stillInARow = 0;  // waits that found the band above where it was at the last one
    // Whether standing still tells anything: not while another step of the request (the
    // source's reading) keeps a core busy for a while, which would pass for turns taken.
    bool telling = true;
  };
  // Waits in a row that tell a thread it is taking turns.
  static constexpr int StillWaits = 3;

  // `count` bands of rows `width` pixels long, for up to `threads` threads at once.
  Bands(int count, int width, int threads, int slack)
      : m_count(count), m_width(width), m_slack(slack), m_slotCount(threads + 1),
        m_slots(new Slot[static_cast<std::size_t>(threads) + 1]) {}

  // The progress that says a band is done.
  int Done() const { return m_width + 1; }

  // The next band for the calling thread; -1 when none is left, one failed, or the thread
  // should stop.
  int Take(const Waits &waits);

  // Band `band` has come this far: pixels of its last row stepped and their loads made, or
  // Done(). A band alone on its thread has no one to tell.
  void Tell(int band, int progress);

  // Waits until band `band` has come at least `progress` far; how far it has come then, or -1
  // when it failed. `known`: how far it had come at the caller's last look, which the caller
  // has worked on since; 0 for none (nothing to tell by). A wait that must sleep sleeps until
  // the band is `slack` pixels further.
  int Await(int band, int progress, int known, Waits &waits);

  // Band `band` waits for something other than the band above (true), or no longer (false).
  void Asleep(int band, bool asleep) {
    SlotOf(band).asleep.store(asleep, std::memory_order_relaxed);
  }

  // Band `band` (or, -1, the thread between bands) failed: no band is taken any more, and the
  // band below, waiting for it, fails too.
  void Fail(int band);

  bool Failed() const { return m_failed.load(std::memory_order_relaxed); }

private:
  static constexpr std::int64_t FailedValue = std::numeric_limits<std::int64_t>::max();
  static constexpr std::int64_t NoOne = std::numeric_limits<std::int64_t>::max();

  // A cache line each: the threads write their own often. The mutex and condition variable
  // serve only a wait that sleeps.
  struct alignas(64) Slot {
    std::atomic<std::int64_t> value{0};
    std::atomic<std::int64_t> wakeAt{NoOne};
    std::atomic<bool> asleep{false}; // waiting, so standing still tells nothing
    std::mutex mutex;
    std::condition_variable woken;
  };

  // Wakes the slot's waiter: it sleeps already, or it has yet to read the value and will see
  // it, for it reads it holding the mutex.
  static void Wake(Slot &slot);

  Slot &SlotOf(int band) { return m_slots[static_cast<std::size_t>(band % m_slotCount)]; }
  std::int64_t Base(int band) const {
    return static_cast<std::int64_t>(band / m_slotCount) * (static_cast<std::int64_t>(m_width) + 2);
  }

  const int m_count;
  const int m_width;
  const int m_slack;
  const int m_slotCount;
  const std::unique_ptr<Slot[]> m_slots;
  std::atomic<int> m_next{0};
  std::atomic<bool> m_failed{false};
};

// Runs doBand(b, worker, waits) for every band b of `bands` on up to `threads` threads, this
// one among them; worker is each thread's own copy of `worker`, waits its own account for
// Bands::Await. False when a band returned false.
// A thread that cannot be started leaves its bands to the others. Every thread has ended when
// this returns or throws; an exception on any of them comes out here once they have.
template <typename Worker, typename DoBand>
bool RunBands(Bands &bands, const Worker &worker, int threads, DoBand doBand) {
  std::exception_ptr error;
  std::atomic<bool> erred{false};
  const auto work = [&](bool helper) noexcept {
    int band = -1;
    try {
      Worker mine(worker);
      Bands::Waits waits{helper};
      while ((band = bands.Take(waits)) >= 0)
        if (!doBand(band, mine, waits)) {
          bands.Fail(band);
          return;
        }
    } catch (...) {
      if (!erred.exchange(true))
        error = std::current_exception();
      bands.Fail(band);
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<std::size_t>(threads - 1));
  try {
    while (static_cast<int>(helpers.size()) < threads - 1)
      helpers.emplace_back(work, true);
  } catch (const std::system_error &) { // no thread to be had: fewer do the work
  } catch (const std::bad_alloc &) {
  }
  work(false);
  for (std::thread &helper : helpers)
    helper.join();
  if (error)
    std::rethrow_exception(error);
  return !bands.Failed();
}

} // namespace diffusion
