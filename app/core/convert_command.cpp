#include "app/core/convert_command.h"

#include <new>

#include "app/core/conversion_mode.h"
#include "app/core/texts.h"
#include "clipboard/packed_dib.h"

namespace {

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

// Whether the mode's result stays within the limits every reader keeps, so that what is
// written can be read again: a doubled picture may not.
bool ResultCanBeRead(int nMode, const CDibImage &source) {
  const auto scale = static_cast<std::uint64_t>(ConversionModes[nMode].scale);
  const std::uint64_t width = static_cast<std::uint64_t>(source.Width()) * scale;
  const std::uint64_t height = static_cast<std::uint64_t>(source.Height()) * scale;
  return WithinReadLimits(width, height);
}

ConvertOutcome Report(CConvertFeedback &feedback, ConvertOutcome outcome) {
  feedback.ShowMessage(OutcomeMessage(outcome));
  return outcome;
}

ConvertOutcome ConvertClipboard(int nMode, CClipboard &clipboard, CConvertFeedback &feedback) {
  if (nMode < 0 || nMode >= ConversionModeCount)
    return Report(feedback, ConvertOutcome::NoModeSelected);
  // Declared in this order, the images and the cursor end in the reverse one: destination,
  // wait cursor, source.
  CDibImage source;
  if (!ReadClipboardDib(clipboard, source))
    return Report(feedback, ConvertOutcome::NoClipboardBitmap);
  WaitCursor waitCursor(feedback);
  CDibImage dest;
  ConvertOutcome outcome = ConvertOutcome::Converted;
  if (!ResultCanBeRead(nMode, source) || !ConversionModes[nMode].convert(source, dest))
    outcome = ConvertOutcome::ConversionFailed;
  else if (!WriteClipboardDib(clipboard, dest, &source))
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
