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
#include <functional>
#include <mutex>
#include <utility>

#include "bitmap/dib_image.h"

class CRowProgress {
public:
  // Before the filling starts: whether an image of its size is wanted at all, asked once, when
  // the image is made (its first Publish), so that one whose size is refused is given up
  // before any of its rows is filled.
  void CheckSize(std::function<bool(int width, int height)> wanted) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_sizeWanted = std::move(wanted);
  }

  // The image is made, and its rows 0 .. rows - 1 are final. False once its size was refused
  // (CheckSize; the image then does not count as made) or its readers have given it up
  // (Abandon): the filling may stop there, as failed.
  bool Publish(const CDibImage &image, int rows) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sizeWanted) {
      m_sizeRefused = !m_sizeWanted(image.Width(), image.Height());
      m_sizeWanted = nullptr;
    }
    if (m_sizeRefused)
      return false;
    m_rows = std::max(m_rows, rows);
    if (m_rows >= m_wakeAt) {
      m_wakeAt = INT_MAX;
      m_changed.notify_all();
    }
    return !m_abandoned;
  }

  // Whether the image was refused for its size (CheckSize).
  bool SizeRefused() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_sizeRefused;
  }

  // The image is not wanted any more (the request has failed elsewhere): its filling stops at
  // its next Publish rather than running on, and is woken where it waits outside (OnAbandon).
  // True when the filling was still under way, so that a failure it ends with is this one's.
  bool Abandon() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_abandoned = true;
    if (m_onAbandon)
      m_onAbandon();
    return !m_ended;
  }

  // While set, `wake` runs when the image is abandoned (at once if it already was), on the
  // abandoning thread with the progress locked: a filling that may wait outside for long (a
  // read from a pipe) sets it to be woken, and clears it (null) before what `wake` uses goes.
  void OnAbandon(std::function<void()> wake) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_onAbandon = std::move(wake);
    if (m_onAbandon && m_abandoned)
      m_onAbandon();
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
  bool m_abandoned = false;
  bool m_sizeRefused = false;
  std::function<bool(int, int)> m_sizeWanted;
  std::function<void()> m_onAbandon;
};

// Rows 0 .. rows - 1 of the image are final (rows 0: it is made). False when the image is not
// wanted any more, and its filling may stop. A reader publishes rows 0 as soon as it has made
// the image, before it reads any pixel, and refuses the picture when that returns false.
inline bool PublishRows(const CDibImage &image, int rows) {
  return image.m_rowProgress == nullptr || image.m_rowProgress->Publish(image, rows);
}

// For the life of a scope, `wake` runs when the image is abandoned (CRowProgress::OnAbandon).
class CWakeOnAbandon {
public:
  CWakeOnAbandon(const CDibImage &image, std::function<void()> wake)
      : m_progress(image.m_rowProgress) {
    if (m_progress != nullptr)
      m_progress->OnAbandon(std::move(wake));
  }
  ~CWakeOnAbandon() {
    if (m_progress != nullptr)
      m_progress->OnAbandon(nullptr);
  }
  CWakeOnAbandon(const CWakeOnAbandon &) = delete;
  CWakeOnAbandon &operator=(const CWakeOnAbandon &) = delete;

private:
  CRowProgress *m_progress;
};

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
