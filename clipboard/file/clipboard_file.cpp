// The file clipboard, on Linux: the bytes come from a descriptor and go to a replaced file; the
// picture module reads and writes them.
#include "clipboard/file/clipboard_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bitmap/row_progress.h"
#include "codec/picture.h"
#include "posix/file_io.h"

bool ReadPictureFrom(int fd, CDibImage &image, PictureRefusal *why, const CReadStop *stop,
                     int *error) {
  int ignored = 0;
  int &readError = error != nullptr ? *error : ignored;
  const ByteSource source = [&](std::uint8_t *buffer, std::size_t size) {
    const std::ptrdiff_t n =
        stop != nullptr ? ReadSome(fd, buffer, size, *stop) : ReadSome(fd, buffer, size);
    if (n < 0)
      readError = errno;
    return n;
  };
  // A regular file read from its first byte may also be read out of order. Such reads never
  // wait long, and a picture given up stops at its next piece.
  const ByteSourceAt at = [&](std::uint8_t *buffer, std::size_t size, std::uint64_t offset) {
    const std::ptrdiff_t n = ReadSomeAt(fd, buffer, size, offset);
    if (n < 0)
      readError = errno;
    return n;
  };
  struct stat file;
  const bool regular =
      ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && ::lseek(fd, 0, SEEK_CUR) == 0;
  return DecodePictureStream(source, image, why, regular ? &at : nullptr);
}

FileFormat FormatForName(const std::string &path) {
  const std::string extension = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
  return ::strcasecmp(extension.c_str(), ".png") == 0 ? FileFormat::Png : FileFormat::Bmp;
}

CFileClipboard::CFileClipboard(std::string inputPath, std::string outputPath,
                               std::optional<FileFormat> outputFormat)
    : m_strInputPath(std::move(inputPath)), m_strOutputPath(std::move(outputPath)),
      m_outputFormat(outputFormat.value_or(FormatForName(m_strOutputPath))) {}

bool CFileClipboard::ReadDib(CDibImage &image) {
  {
    const std::lock_guard<std::mutex> lock(m_failureLock);
    m_bFailed = false;
  }
  const bool standardInput = m_strInputPath == "-";
  const std::string file = standardInput ? "standard input" : m_strInputPath;
  FileDescriptor opened(standardInput ? -1 : ::open(m_strInputPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!standardInput && opened.Get() < 0) {
    NoteFailure(file, errno);
    return false;
  }
  const int fd = standardInput ? STDIN_FILENO : opened.Get();
  // A pipe may keep the read waiting for ever: once the request has given the picture up, the
  // read ends, and its failure is not the file's.
  CReadStop stop;
  const CWakeOnAbandon wake(image, [&stop] { stop.Stop(); });
  int readError = 0;
  PictureRefusal refusal;
  const bool read = ReadPictureFrom(fd, image, &refusal, &stop, &readError);
  if (!read && !stop.Stopped())
    NoteFailure(file, readError, DescribeRefusal(refusal));
  return read;
}

bool CFileClipboard::ReadsWhileConverting() const {
  // Every step here hands rows on as they become final, except a BMP read from a pipe, whose
  // top row comes last; its thread then costs next to nothing.
  return true;
}

namespace {

// Whether the output at `path` is replaced atomically (a regular file, or none yet), so that
// writing it may begin before the image is complete: a failure then leaves it as it was.
bool ReplacedAtomically(const std::string &path) {
  struct stat target;
  return path != "-" && (::stat(path.c_str(), &target) != 0 || S_ISREG(target.st_mode));
}

} // namespace

bool CFileClipboard::WriteDib(const CDibImage &image) {
  if (!image.HasSection())
    return false;
  if (!ReplacedAtomically(m_strOutputPath) && !WaitForComplete(image))
    return false;
  const PictureEncoding encoding =
      m_outputFormat == FileFormat::Png ? PictureEncoding::Png : PictureEncoding::Bmp;
  const bool standardOutput = m_strOutputPath == "-";
  const FileContentWriter write = [&](int fd) {
    IoResult put;
    struct stat target;
    if (encoding == PictureEncoding::Bmp && !standardOutput && ::fstat(fd, &target) == 0 &&
        S_ISREG(target.st_mode)) {
      // A new file of our own: its rows are put in place as they are converted, and the
      // system starts putting each piece on the disk at once, so that little is left to flush
      // once the last row is there.
      const bool encoded = EncodeBmpFileAt(
          image, [&](const std::uint8_t *data, std::size_t size, std::uint64_t offset) {
            put = WriteAllAt(fd, data, size, offset);
            if (put)
              StartWriteBack(fd, offset, size);
            return static_cast<bool>(put);
          });
      return !put ? put : encoded ? IoResult() : IoResult::Failed(ECANCELED);
    }
    // The PNG encoder hands out many small pieces; the BMP's rows go out in one piece.
    CBufferedWriter output(fd);
    const bool encoded =
        EncodePicture(image, encoding, [&](const std::uint8_t *data, std::size_t size) {
          put = output.Put(data, size);
          return static_cast<bool>(put);
        });
    if (!put)
      return put;
    if (!encoded) // the image's filling failed, which is not the file's fault
      return IoResult::Failed(ECANCELED);
    return output.Flush();
  };
  const IoResult written =
      standardOutput ? write(STDOUT_FILENO) : ReplaceFileAtomically(m_strOutputPath, write);
  if (!written && written.Error() != ECANCELED)
    NoteFailure(standardOutput ? "standard output" : m_strOutputPath, written.Error());
  return written;
}

void CFileClipboard::NoteFailure(const std::string &file, int error, std::string why) {
  if (error == 0 && why.empty())
    return; // nothing to say
  const std::lock_guard<std::mutex> lock(m_failureLock);
  if (m_bFailed)
    return;
  m_bFailed = true;
  m_strFailedFile = file;
  m_nFailureError = error;
  m_strFailureWhy = std::move(why);
}

std::string CFileClipboard::DescribeFailure() const {
  const std::lock_guard<std::mutex> lock(m_failureLock);
  if (!m_bFailed)
    return {};
  // A read error says more than the refusal it ends in ("PNG: truncated").
  return m_strFailedFile + ": " +
         (m_nFailureError != 0 ? std::strerror(m_nFailureError) : m_strFailureWhy);
}
