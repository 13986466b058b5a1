// Replacing a file: atomically, keeping what it was, leaving nothing behind on failure.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "posix/file_io.h"
#include "temp_folder.h"

using FileIo = TempFolderTest;

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
  EXPECT_EQ(ReplaceFileAtomically(Path("missing/out.bmp"), "x", 1).Error(), ENOENT);
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  EXPECT_EQ(ReplaceFileAtomically(Path("folder"), "x", 1).Error(), EISDIR); // not a regular file
  EXPECT_EQ(Entries(), std::vector<std::string>{"folder"});
}
