// A picture file standing in for the clipboard: read from one path and written to another (or
// the same). "-" is standard input or output. The input is a BMP or a PNG file, told apart by
// its first bytes; the output is written as BMP or PNG.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "clipboard/clipboard.h"
#include "codec/refusal.h"

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
  // Writes the file (a BMP from the image's own rows) as ReplaceFileAtomically
  // (posix/file_io.h) says: replaced whole or left as it was. An output written directly (a
  // pipe, a terminal) gets no byte before the image is complete.
  bool WriteDib(const CDibImage &image) override;
  // Always: a PNG is decoded and written row by row, a BMP file read from its end and written
  // from its end, top row first either way.
  bool ReadsWhileConverting() const override;

  // What went wrong with a file in the request since the last ReadDib, as a command line
  // says it: the file, then why ("in.png: No such file or directory", "in.png: PNG: bad CRC
  // in IDAT", "standard output: Broken pipe"); the first such failure, as the others follow
  // from it. Empty when no file was at fault (the request failed elsewhere, or not at all).
  std::string DescribeFailure() const;

private:
  // The first failure is kept; `error` is an errno, or 0 when `why` says it.
  void NoteFailure(const std::string &file, int error, std::string why = {});

  std::string m_strInputPath;
  std::string m_strOutputPath;
  FileFormat m_outputFormat;
  mutable std::mutex m_failureLock; // the read and the write may fail on different threads
  bool m_bFailed = false;
  std::string m_strFailedFile;
  int m_nFailureError = 0;
  std::string m_strFailureWhy;
};

class CReadStop;

// Reads a BMP or PNG file from `fd` into the freshly constructed `image`, no further than the
// picture needs (a BMP's rows straight into the image's own store; from the file's end, top
// row first, when `fd` is a regular file at its first byte). `why` as for
// DecodePictureStream; `stop`, when given, ends a read waiting on a pipe; `error` receives the
// errno of a read that failed.
bool ReadPictureFrom(int fd, CDibImage &image, PictureRefusal *why = nullptr,
                     const CReadStop *stop = nullptr, int *error = nullptr);
