// How far one thread has filled an image that others read meanwhile: a request's steps (read,
// convert, write) overlap this way, each following the rows of the image before it.
//
// The filling thread makes the image (size, depth, colour table), then finishes its rows from
// the top down and says so after each one; at the end it says whether the image is complete.
// A reader waits for the rows it needs: until the image is made before looking at its size,
// then until row y is final before reading it. Rows once final never change, so a reader may
// use them without further locking; and an image whose filling failed keeps its memory until
// its readers are gone, which stop at the failure.
//
// An image without a progress (CDibImage::m_rowProgress null) is complete: waiting returns at
// once.
#pragma once

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "bitmap/dib_image.h"

class CRowProgress {
public:
  // The image is made, and its rows 0 .. rows - 1 are final.
  void Publish(int rows) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_rows = std::max(m_rows, rows);
    if (m_rows >= m_wakeAt) {
      m_wakeAt = INT_MAX;
      m_changed.notify_all();
    }
  }

  // The filling is over: every row is final (complete), or none will come any more.
  void End(bool complete) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_complete = complete;
    if (complete)
      m_rows = INT_MAX;
    m_changed.notify_all();
  }

  // Waits until rows 0 .. rows - 1 are final (for rows 0: until the image is made) and returns
  // how many rows are final then, at least `rows`; -1 when the filling ended without them.
  // A reader that has caught up is woken only once a batch of rows is there, or at the end,
  // so that the threads meet once per batch rather than once per row. Readers on several
  // threads may wait at once: the filling wakes them all when the first one's batch is there,
  // and the others sleep on.
  int WaitFor(int rows) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_rows < rows && !m_ended) {
      const int wakeAt = rows == 0 ? 0 : rows + RowBatch;
      while (m_rows < wakeAt && !m_ended) {
        m_wakeAt = std::min(m_wakeAt, wakeAt);
        m_changed.wait(lock);
      }
    }
    return m_rows >= rows ? m_rows : -1;
  }

  // Waits until the filling is over; whether the image is complete.
  bool WaitForEnd() const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_ended; });
    return m_complete;
  }

private:
  static constexpr int RowBatch = 16;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  int m_rows = -1;                // -1: the image is not made yet
  mutable int m_wakeAt = INT_MAX; // the earliest batch a sleeping reader waits for
  bool m_ended = false;
  bool m_complete = false;
};

// Rows 0 .. rows - 1 of the image are final (rows 0: it is made).
inline void PublishRows(const CDibImage &image, int rows) {
  if (image.m_rowProgress != nullptr)
    image.m_rowProgress->Publish(rows);
}

// Waits until rows 0 .. rows - 1 of the image are final (rows 0: until it is made); false when
// its filling ended without them.
inline bool WaitForRows(const CDibImage &image, int rows) {
  return image.m_rowProgress == nullptr || image.m_rowProgress->WaitFor(rows) >= 0;
}

// Waits until the image's filling is over; whether the image is complete.
inline bool WaitForComplete(const CDibImage &image) {
  return image.m_rowProgress == nullptr || image.m_rowProgress->WaitForEnd();
}

// One reader's view of an image's rows, top down: it asks the progress only when it gets past
// the rows it last saw final.
class CFinalRows {
public:
  explicit CFinalRows(const CDibImage &image)
      : m_progress(image.m_rowProgress), m_final(m_progress == nullptr ? INT_MAX : 0) {}

  // Waits until row y is final; false when it never will be.
  bool Wait(int y) {
    if (y < m_final)
      return true;
    m_final = m_progress->WaitFor(y + 1);
    return m_final > y;
  }

  // Whether row y is known to be final, so that Wait returns at once.
  bool Known(int y) const { return y < m_final; }

private:
  const CRowProgress *m_progress;
  int m_final;
};
