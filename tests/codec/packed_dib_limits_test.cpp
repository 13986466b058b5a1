// Hostile headers at the edges of what the reader accepts, and a block whose image does not
// fit in memory: each refused for its own reason, before anything large is allocated.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "codec/bmp_file.h"
#include "codec/packed_dib.h"
#include "test_images.h"

namespace {

DibRefusal PackedRefusal(const std::vector<std::uint8_t> &block) {
  CDibImage image;
  DibRefusal why = DibRefusal::None;
  EXPECT_FALSE(ReadPackedDib(block.data(), block.size(), image, &why));
  EXPECT_FALSE(image.HasSection());
  return why;
}

void PutU32(std::vector<std::uint8_t> &bytes, std::size_t at, std::uint32_t v) {
  std::memcpy(&bytes[at], &v, 4);
}

} // namespace

TEST(ReadPackedDib, RefusesFieldsAtTheirLimits) {
  struct Case {
    const char *name;
    std::vector<std::uint8_t> block;
    DibRefusal reason;
  };
  std::vector<Case> cases;
  auto block = BuildPackedDib({});
  PutU32(block, 0, 39);
  cases.push_back({"biSize 39", block, DibRefusal::HeaderSize});
  PutU32(block, 0, 0xFFFFFFFF);
  cases.push_back({"biSize 2^32 - 1", block, DibRefusal::TooShort});
  cases.push_back({"biClrUsed 2^32 - 1",
                   BuildPackedDib({.bitCount = 8, .clrUsed = 0xFFFFFFFF, .rows = {0}}),
                   DibRefusal::ColorCount});
  // Rows of gigabytes announced by a block of a few bytes: refused, not allocated.
  cases.push_back({"widest 1-bit row",
                   BuildPackedDib({.width = 0x7FFFFFFF, .bitCount = 1, .rows = {0}}),
                   DibRefusal::TooShort});
  cases.push_back({"tallest picture",
                   BuildPackedDib({.height = 0x7FFFFFFF, .bitCount = 32, .rows = {0}}),
                   DibRefusal::TooShort});
  cases.push_back({"height -2^31",
                   BuildPackedDib({.height = INT32_MIN, .bitCount = 24, .rows = {0}}),
                   DibRefusal::TopDown});
  // A header long enough to hold the masks, cut off inside them.
  block = BuildPackedDib({.headerSize = 52,
                          .bitCount = 16,
                          .compression = 3,
                          .masks = {0xF800, 0x07E0, 0x001F},
                          .rows = {0}});
  block.resize(50);
  cases.push_back({"52-byte header cut at 50", block, DibRefusal::TooShort});
  for (const Case &c : cases)
    EXPECT_EQ(PackedRefusal(c.block), c.reason) << c.name;
}

TEST(ReadBmpFile, RowsMayStartRightBehindTheTableButNotInsideIt) {
  const DibLayout layout{
      .bitCount = 8, .clrUsed = 2, .table = {{1, 2, 3, 0}, {4, 5, 6, 0}}, .rows = {1, 0, 0, 0}};
  auto file = BuildBmpFile(layout);
  CDibImage image;
  ASSERT_TRUE(ReadBmpFile(file.data(), file.size(), image));
  EXPECT_EQ(image.GetPixelColor(0, 0), RgbColor(6, 5, 4));
  PutU32(file, 10, 14 + 40 + 8 - 1);
  CDibImage refused;
  DibRefusal why = DibRefusal::None;
  EXPECT_FALSE(ReadBmpFile(file.data(), file.size(), refused, &why));
  EXPECT_EQ(why, DibRefusal::RowOffset);
}

#if defined(__SANITIZE_ADDRESS__)
#define VANTOLY_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTOLY_ADDRESS_SANITIZER 1
#endif
#endif

// A 16-bit block decodes into an image twice its size: with too little address space left for
// that, the reader refuses the block instead of failing half-way.
TEST(ReadPackedDib, RefusesAnImageThatDoesNotFitInMemory) {
#ifdef VANTOLY_ADDRESS_SANITIZER
  GTEST_SKIP() << "the address sanitizer reserves more address space than any limit allows";
#else
  const auto block = BuildPackedDib({.width = 4096, .height = 2048, .bitCount = 16});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1)
        pages = 0;
      std::fclose(statm);
    }
    if (pages == 0)
      _exit(3);
    // Room for 16 MiB more: less than the 32 MiB the decoded image needs.
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (16 << 20);
    const rlimit space{limit, limit};
    if (setrlimit(RLIMIT_AS, &space) != 0)
      _exit(4);
    CDibImage image;
    DibRefusal why = DibRefusal::None;
    const bool read = ReadPackedDib(block.data(), block.size(), image, &why);
    _exit(!read && why == DibRefusal::NoSection && !image.HasSection() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused as NoSection; 3, 4: no limit could be set";
#endif
}
