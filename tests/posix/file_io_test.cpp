// Replacing a file: atomically, keeping what it was, leaving nothing behind on failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "posix/file_io.h"

namespace {

namespace fs = std::filesystem;

class FileIo : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantoly-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    m_folder = pattern;
  }
  void TearDown() override { fs::remove_all(m_folder); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const fs::directory_entry &e : fs::directory_iterator(m_folder))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Path(const std::string &name) const { return m_folder + "/" + name; }
  static std::string Contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::string m_folder;
};

} // namespace

TEST_F(FileIo, ReplacesAtomicallyAndKeepsTheMode) {
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

TEST_F(FileIo, FailureLeavesNothingBehind) {
  EXPECT_FALSE(ReplaceFileAtomically(Path("missing/out.bmp"), "x", 1));
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  EXPECT_FALSE(ReplaceFileAtomically(Path("folder"), "x", 1)); // not a regular file
  EXPECT_EQ(Entries(), std::vector<std::string>{"folder"});
}
