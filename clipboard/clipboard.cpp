#include "clipboard/clipboard.h"

bool ReadClipboardDib(CClipboard &clipboard, CDibImage &image) {
  if (!clipboard.ReadDib(image))
    return false;
  // Nothing is drawn through the context, so a failed selection does not matter here.
  image.SelectIntoMemoryDc();
  return true;
}

bool WriteClipboardDib(CClipboard &clipboard, const CDibImage &image, const CDibImage *previous) {
  if (!image.HasSection())
    return false;
  return previous != nullptr && previous->HasSection()
             ? clipboard.WriteDibInPlaceOf(image, *previous)
             : clipboard.WriteDib(image);
}
