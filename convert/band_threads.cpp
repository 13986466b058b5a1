// The threads' side of the bands (band_threads.h), out of line: the diffusion's loops stay as
// small as on one thread.
#include "convert/band_threads.h"

#include <algorithm>

namespace diffusion {

int Bands::Take(const Waits &waits) {
  if (m_failed.load(std::memory_order_relaxed) ||
      (waits.mayStop && waits.stillInARow >= StillWaits))
    return -1;
  const int band = m_next.fetch_add(1, std::memory_order_acq_rel);
  return band < m_count ? band : -1;
}

void Bands::Tell(int band, int progress) {
  Slot &slot = SlotOf(band);
  const std::int64_t value = Base(band) + progress;
  // Stored and read in one order with the waiter's (seq_cst): either it sees the value or
  // this sees its wish to be woken. The wish is taken away with the wake-up, so that the
  // waiter is woken once although it may not run at once (a shared core); a wish made
  // meanwhile stays, and its waiter has seen the value.
  slot.value.store(value, std::memory_order_seq_cst);
  std::int64_t wakeAt = slot.wakeAt.load(std::memory_order_seq_cst);
  if (wakeAt <= value && slot.wakeAt.compare_exchange_strong(wakeAt, NoOne))
    Wake(slot);
}

int Bands::Await(int band, int progress, int known, Waits &waits) {
  Slot &slot = SlotOf(band);
  const std::int64_t base = Base(band);
  std::int64_t value = slot.value.load(std::memory_order_acquire);
  if (known > 0 && waits.telling && !slot.asleep.load(std::memory_order_relaxed))
    waits.stillInARow = value == base + known ? waits.stillInARow + 1 : 0;
  if (value < base + progress) {
    const int wanted = progress >= m_width ? progress : std::min(progress + m_slack, m_width);
    Asleep(band + 1, true);
    std::unique_lock<std::mutex> lock(slot.mutex);
    for (;;) { // again after a wake-up that came too early
      slot.wakeAt.store(base + wanted, std::memory_order_seq_cst);
      if ((value = slot.value.load(std::memory_order_seq_cst)) >= base + wanted)
        break;
      slot.woken.wait(lock);
    }
    slot.wakeAt.store(NoOne, std::memory_order_relaxed);
    lock.unlock();
    Asleep(band + 1, false);
  }
  if (value == FailedValue)
    return -1;
  return static_cast<int>(std::min<std::int64_t>(value - base, Done()));
}

void Bands::Fail(int band) {
  m_failed.store(true, std::memory_order_relaxed);
  if (band < 0)
    return;
  Slot &slot = SlotOf(band);
  slot.value.store(FailedValue, std::memory_order_seq_cst);
  Wake(slot);
}

void Bands::Wake(Slot &slot) {
  { const std::lock_guard<std::mutex> lock(slot.mutex); }
  slot.woken.notify_all();
}

} // namespace diffusion
