#include "app/core/convert_command.h"

#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "app/core/conversion_mode.h"
#include "app/core/texts.h"
#include "bitmap/row_progress.h"
#include "codec/read_limits.h"

namespace {

// One step of the request that fills an image: on a thread of its own when the steps overlap,
// else at once on this one. Either way the image's progress ends with the step, complete when
// it succeeded, so that a step waiting for its rows goes on or gives up.
class CFillingStep {
public:
  template <typename Work>
  CFillingStep(bool ownThread, CRowProgress &progress, Work work)
      : m_ownThread(ownThread), m_progress(progress) {
    const auto run = [this, work] {
      bool filled = false;
      try {
        filled = work();
      } catch (...) {
        m_exception = std::current_exception(); // std::bad_alloc, rethrown by Succeeded
      }
      m_progress.End(filled);
    };
    if (m_ownThread) {
      try {
        m_thread = std::thread(run);
        return;
      } catch (const std::system_error &) {
        // No thread to be had (no room for its stack, a limit on processes): the step runs
        // here, as it does without a second core.
        m_ownThread = false;
      }
    }
    run();
  }
  // A step still under way when the request ends early (an exception) is given up first.
  ~CFillingStep() {
    if (m_thread.joinable()) {
      m_progress.Abandon();
      m_thread.join();
    }
  }
  CFillingStep(const CFillingStep &) = delete;
  CFillingStep &operator=(const CFillingStep &) = delete;

  // Waits until the image is made (true) or the step has failed (false). A step run at once is
  // over: it began only if it succeeded.
  bool Began() { return m_ownThread ? m_progress.WaitFor(0) >= 0 : Succeeded(); }

  // Waits for the end of the step; whether it succeeded. Its exception is rethrown here.
  bool Succeeded() {
    if (m_thread.joinable())
      m_thread.join();
    if (m_exception)
      std::rethrow_exception(m_exception);
    return m_progress.WaitForEnd();
  }

private:
  bool m_ownThread;
  CRowProgress &m_progress;
  std::exception_ptr m_exception;
  std::thread m_thread;
};

// Shows the wait cursor for the life of a scope, exceptions included.
class WaitCursor {
public:
  explicit WaitCursor(CConvertFeedback &feedback) : m_feedback(feedback) {
    m_feedback.BeginWaitCursor();
  }
  ~WaitCursor() { m_feedback.EndWaitCursor(); }
  WaitCursor(const WaitCursor &) = delete;
  WaitCursor &operator=(const WaitCursor &) = delete;

private:
  CConvertFeedback &m_feedback;
};

// Whether the mode's result of a width × height picture stays within the limits every reader
// keeps, so that what is written can be read again: a doubled picture may not.
bool ResultCanBeRead(int nMode, int width, int height) {
  const auto scale = static_cast<std::uint64_t>(ConversionModes[nMode].scale);
  return WithinReadLimits(static_cast<std::uint64_t>(width) * scale,
                          static_cast<std::uint64_t>(height) * scale);
}

ConvertOutcome Report(CConvertFeedback &feedback, ConvertOutcome outcome) {
  feedback.ShowMessage(OutcomeMessage(outcome));
  return outcome;
}

ConvertOutcome ConvertClipboard(int nMode, CClipboard &clipboard, CConvertFeedback &feedback) {
  if (nMode < 0 || nMode >= ConversionModeCount)
    return Report(feedback, ConvertOutcome::NoModeSelected);
  // Read, convert and write overlap where the clipboard allows it and a second core can take a
  // step: the picture is read on one thread, converted on another and written on this one,
  // each following the rows of the image before it as they become final, so that the request
  // takes about as long as its slowest step. Otherwise each step runs here in turn, and finds
  // every row it waits for already there.
  const bool overlap = clipboard.ReadsWhileConverting() && std::thread::hardware_concurrency() > 1;
  // The images outlive the steps that fill them; declared in this order, the images and the
  // cursor end in the reverse one: destination, wait cursor, source.
  CRowProgress sourceRows;
  CRowProgress destRows;
  // A picture whose result no reader could take back is refused as soon as its size is
  // known, before any of its rows is read.
  sourceRows.CheckSize(
      [nMode](int width, int height) { return ResultCanBeRead(nMode, width, height); });
  CDibImage source;
  source.m_rowProgress = &sourceRows;
  CFillingStep read(overlap, sourceRows, [&] { return ReadClipboardDib(clipboard, source); });
  if (!read.Began() && !read.Succeeded()) {
    if (!sourceRows.SizeRefused())
      return Report(feedback, ConvertOutcome::NoClipboardBitmap);
    WaitCursor waitCursor(feedback);
    return Report(feedback, ConvertOutcome::ConversionFailed);
  }
  WaitCursor waitCursor(feedback);
  CDibImage dest;
  dest.m_rowProgress = &destRows;
  CFillingStep convert(overlap, destRows, [&] {
    return ResultCanBeRead(nMode, source.Width(), source.Height()) &&
           ConversionModes[nMode].convert(source, dest) && WaitForComplete(source);
  });
  const bool written = convert.Began() && WriteClipboardDib(clipboard, dest, &source);
  // Once the request has failed, the steps still under way are given up, the later one first
  // so that it is not taken for the culprit when the earlier one stops: none waits on for the
  // rest of an input that may never come. A step stopped so fails by no fault of its own.
  const bool convertStopped = !written && destRows.Abandon();
  const bool readStopped = !written && sourceRows.Abandon();
  ConvertOutcome outcome = ConvertOutcome::Converted;
  if (!read.Succeeded() && !readStopped)
    outcome = ConvertOutcome::NoClipboardBitmap;
  else if (!convert.Succeeded() && !convertStopped)
    outcome = ConvertOutcome::ConversionFailed;
  else if (!written)
    outcome = ConvertOutcome::CannotPaste;
  // Reported while the wait cursor is still up; it ends when the box is dismissed.
  if (outcome != ConvertOutcome::Converted)
    return Report(feedback, outcome);
  feedback.Beep();
  return outcome;
}

} // namespace

const char *OutcomeMessage(ConvertOutcome outcome) {
  switch (outcome) {
  case ConvertOutcome::Converted: return nullptr;
  case ConvertOutcome::NoModeSelected: return MessageNoModeSelected;
  case ConvertOutcome::NoClipboardBitmap: return MessageNoClipboardBitmap;
  case ConvertOutcome::ConversionFailed: return MessageConversionFailed;
  case ConvertOutcome::CannotPaste: return MessageCannotPaste;
  case ConvertOutcome::OutOfMemory: return MessageOutOfMemory;
  }
  return nullptr;
}

ConvertOutcome RunConvertCommand(int nMode, CClipboard &clipboard, CConvertFeedback &feedback) {
  ConvertOutcome outcome;
  try {
    outcome = ConvertClipboard(nMode, clipboard, feedback);
  } catch (const std::bad_alloc &) {
    // Both images are released and the wait cursor has ended by now; the clipboard was not
    // emptied, so it still holds the input.
    outcome = Report(feedback, ConvertOutcome::OutOfMemory);
  }
  return outcome;
}
