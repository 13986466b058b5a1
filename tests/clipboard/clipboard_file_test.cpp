#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "clipboard/bmp_file.h"
#include "clipboard/clipboard_file.h"
#include "test_images.h"

namespace {

class FileClipboard : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantoly-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    m_folder = pattern;
  }
  void TearDown() override {
    for (const std::string &name : Entries())
      ::unlink((m_folder + "/" + name).c_str());
    ::rmdir(m_folder.c_str());
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(m_folder.c_str())) {
      while (dirent *e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
          names.push_back(e->d_name);
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Path(const std::string &name) const { return m_folder + "/" + name; }
  static std::string Contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void Write(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  std::string m_folder;
};

} // namespace

TEST_F(FileClipboard, ReplacesAtomicallyAndKeepsTheMode) {
  const std::string path = Path("out.bmp");
  ASSERT_TRUE(ReplaceFileAtomically(path, "first", 5));
  EXPECT_EQ(Contents(path), "first");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(ReplaceFileAtomically(path, "second", 6));
  EXPECT_EQ(Contents(path), "second");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.bmp"}); // no temporary left
}

TEST_F(FileClipboard, FailureLeavesNothingBehind) {
  EXPECT_FALSE(ReplaceFileAtomically(Path("missing/out.bmp"), "x", 1));
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  EXPECT_FALSE(ReplaceFileAtomically(Path("folder"), "x", 1)); // not a regular file
  EXPECT_EQ(Entries(), std::vector<std::string>{"folder"});
}

TEST_F(FileClipboard, ConvertsInPlaceLikeTheClipboard) {
  CDibImage image;
  MakeSolid24(image, 3, 2, Gray(255));
  Write(Path("pic.bmp"), EncodeBmpFile(image));

  CFileClipboard clipboard(Path("pic.bmp"), Path("pic.bmp"));
  CDibImage read;
  ASSERT_TRUE(clipboard.ReadDib(read));
  CDibImage mono;
  ASSERT_TRUE(mono.Create(3, 2, 1));
  ASSERT_TRUE(clipboard.WriteDib(mono));
  const auto expected = EncodeBmpFile(mono);
  EXPECT_EQ(Contents(Path("pic.bmp")), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(Entries(), std::vector<std::string>{"pic.bmp"});

  CFileClipboard missing(Path("none.bmp"), Path("out.bmp"));
  CDibImage none;
  EXPECT_FALSE(missing.ReadDib(none));
  CDibImage empty;
  EXPECT_FALSE(missing.WriteDib(empty));
  EXPECT_EQ(Entries(), std::vector<std::string>{"pic.bmp"});
}
