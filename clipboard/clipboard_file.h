// A BMP file standing in for the clipboard: read from one path and written to another (or the
// same). "-" is standard input or output.
#pragma once

#include <string>

#include "clipboard/clipboard.h"

class CFileClipboard : public CClipboard {
public:
  CFileClipboard(std::string inputPath, std::string outputPath);

  bool ReadDib(CDibImage &image) override;
  // The output file is replaced atomically: the bytes go to an unnamed or temporary file in the
  // same folder, which is renamed over the output only when complete, so after any failure
  // the output is as it was and no temporary file is left.
  bool WriteDib(const CDibImage &image) override;

private:
  std::string m_strInputPath;
  std::string m_strOutputPath;
};

// Writes `size` bytes to `path` atomically as above; false on any failure.
bool ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size);
