// A picture file standing in for the clipboard: read from one path and written to another (or
// the same). "-" is standard input or output. The input is a BMP or a PNG file, told apart by
// its first bytes; the output is written as BMP or PNG.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "clipboard/clipboard.h"
#include "clipboard/packed_dib.h"

enum class FileFormat { Bmp, Png };

// PNG for a name ending in ".png" in any case, BMP for every other name.
FileFormat FormatForName(const std::string &path);

class CFileClipboard : public CClipboard {
public:
  // Without a format, the output's follows its name.
  CFileClipboard(std::string inputPath, std::string outputPath,
                 std::optional<FileFormat> outputFormat = std::nullopt);

  // Reads no more of the input than its header says the picture needs.
  bool ReadDib(CDibImage &image) override;
  // Writes the file (a BMP from the image's own rows) as ReplaceFileAtomically says.
  bool WriteDib(const CDibImage &image) override;

private:
  std::string m_strInputPath;
  std::string m_strOutputPath;
  FileFormat m_outputFormat;
};

// Reads a BMP file from `fd` straight into the freshly constructed `image`: the headers first,
// checked as they arrive, then exactly the rows they announce, into the image's own store.
bool ReadBmpFrom(int fd, CDibImage &image, DibRefusal *why = nullptr);

// Puts all of a file's bytes on the descriptor it is given; false on any failure.
using FileContentWriter = std::function<bool(int fd)>;

// Writes a new file at `path` through `write`. A regular file, or none, is replaced atomically:
// the bytes go to a temporary file beside it, which is flushed and renamed over it only when
// complete, so after any failure the file is as it was. A symbolic link is followed to the
// file it names (the link stays), a dangling one names the file to create. A character device,
// FIFO or socket is written directly; a folder or any other kind of file is refused. A
// temporary that a killed run leaves behind is named ".NAME.vantoly-tmp-XXXXXX"; no other
// file is ever deleted.
bool ReplaceFileAtomically(const std::string &path, const FileContentWriter &write);
bool ReplaceFileAtomically(const std::string &path, const void *data, std::size_t size);
