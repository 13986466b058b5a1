// The file clipboard, on Linux: the bytes come from a descriptor and go to a replaced file; the
// picture module reads and writes them.
#include "clipboard/file/clipboard_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bitmap/row_progress.h"
#include "codec/picture.h"
#include "posix/file_io.h"

bool ReadPictureFrom(int fd, CDibImage &image, PictureRefusal *why) {
  return DecodePictureStream(
      [fd](std::uint8_t *buffer, std::size_t size) { return ReadSome(fd, buffer, size); }, image,
      why);
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
  if (m_strInputPath == "-")
    return ReadPictureFrom(STDIN_FILENO, image);
  FileDescriptor file(::open(m_strInputPath.c_str(), O_RDONLY | O_CLOEXEC));
  return file.Get() >= 0 && ReadPictureFrom(file.Get(), image);
}

bool CFileClipboard::ReadsWhileConverting() const {
  if (m_outputFormat == FileFormat::Png || m_strInputPath == "-")
    return true;
  // The input's first bytes, read without moving through it.
  FileDescriptor file(::open(m_strInputPath.c_str(), O_RDONLY | O_CLOEXEC));
  std::uint8_t head[8];
  return file.Get() >= 0 && ::pread(file.Get(), head, sizeof head, 0) == sizeof head &&
         SniffPicture(head, sizeof head) == PictureFormat::Png;
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
  const FileContentWriter write = [&](int fd) {
    // The PNG encoder hands out many small pieces; the BMP's rows go out in one piece.
    CBufferedWriter output(fd);
    return EncodePicture(image, encoding,
                         [&output](const std::uint8_t *data, std::size_t size) {
                           return output.Put(data, size);
                         }) &&
           output.Flush();
  };
  if (m_strOutputPath == "-")
    return write(STDOUT_FILENO);
  return ReplaceFileAtomically(m_strOutputPath, write);
}
