// Replays the fuzzers' seed corpus and every input a fuzzer ever crashed on through the same
// invariants the fuzz targets check, in every build. The seeds also pin down the reader's
// verdict: each "ok-" seed is read, each "bad-" seed is refused for its own reason. The PNG
// target's seeds (tests/fuzz/corpus/png_file) are written by vantoly-make-png-corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "codec/bmp_file.h"
#include "codec/packed_dib.h"
#include "codec/png_file.h"
#include "tests/fuzz/round_trip_check.h"

namespace {

namespace fs = std::filesystem;

const fs::path FuzzFolder = VANTOLY_FUZZ_FOLDER;

struct Target {
  const char *name;
  std::string (*check)(const std::uint8_t *, std::size_t);
  bool (*read)(const std::uint8_t *, std::size_t, CDibImage &, DibRefusal *);
};

const Target Targets[] = {
    {"packed_dib", CheckPackedDibRequest, ReadPackedDib},
    {"bmp_file", CheckBmpFileRequest, ReadBmpFile},
};
const Target PngTarget = {"png_file", CheckPngFileRequest, nullptr};

std::vector<fs::path> FilesIn(const fs::path &folder) {
  std::vector<fs::path> files;
  if (fs::is_directory(folder))
    for (const auto &entry : fs::directory_iterator(folder))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
        files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> Contents(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void ReplayFolder(const Target &target, const fs::path &folder) {
  for (const fs::path &file : FilesIn(folder)) {
    const std::vector<std::uint8_t> bytes = Contents(file);
    EXPECT_EQ(target.check(bytes.data(), bytes.size()), "") << file;
  }
}

TEST(FuzzReplay, SeedCorpusKeepsEveryInvariant) {
  for (const Target &target : {Targets[0], Targets[1], PngTarget}) {
    // A wrong folder would pass silently; the seeds are always there.
    EXPECT_GE(FilesIn(FuzzFolder / "corpus" / target.name).size(), 40u) << target.name;
    ReplayFolder(target, FuzzFolder / "corpus" / target.name);
  }
}

TEST(FuzzReplay, CrashersKeepEveryInvariant) {
  for (const Target &target : {Targets[0], Targets[1], PngTarget})
    ReplayFolder(target, FuzzFolder / "crashers" / target.name);
}

// The reason each malformed seed is refused for. Where the file reader differs from the
// packed one it is because it checks bfOffBits first.
const std::map<std::string, DibRefusal> PackedRefusals = {
    {"bad-too-short-rows", DibRefusal::TooShort},
    {"bad-too-short-table", DibRefusal::TooShort},
    {"bad-too-short-masks", DibRefusal::TooShort},
    {"bad-core-header", DibRefusal::HeaderSize},
    {"bad-header-past-block", DibRefusal::TooShort},
    {"bad-width-zero", DibRefusal::BadWidth},
    {"bad-width-negative", DibRefusal::BadWidth},
    {"bad-height-zero", DibRefusal::BadHeight},
    {"bad-top-down", DibRefusal::TopDown},
    {"bad-bitcount-2", DibRefusal::BitCount},
    {"bad-bitcount-0", DibRefusal::BitCount},
    {"bad-rle8", DibRefusal::Compression},
    {"bad-rle4", DibRefusal::Compression},
    {"bad-jpeg", DibRefusal::Compression},
    {"bad-png", DibRefusal::Compression},
    {"bad-alpha-bitfields", DibRefusal::Compression},
    {"bad-bitfields-24bpp", DibRefusal::Compression},
    {"bad-bitfields-8bpp", DibRefusal::Compression},
    {"bad-colour-count-257", DibRefusal::ColorCount},
    {"bad-too-large", DibRefusal::TooLarge},
    {"bad-rows-beyond-block", DibRefusal::TooShort},
};

std::map<std::string, DibRefusal> FileRefusals() {
  std::map<std::string, DibRefusal> refusals = PackedRefusals;
  refusals["bad-core-header"] = DibRefusal::RowOffset; // rows at 14 + 12: inside the header
  refusals["bad-signature"] = DibRefusal::FileSignature;
  refusals["bad-offset-in-table"] = DibRefusal::RowOffset;
  refusals["bad-offset-in-header"] = DibRefusal::RowOffset;
  refusals["bad-offset-past-file"] = DibRefusal::TooShort;
  return refusals;
}

TEST(FuzzReplay, SeedsAreReadOrRefusedForTheirOwnReason) {
  const std::map<std::string, DibRefusal> refusals[] = {PackedRefusals, FileRefusals()};
  for (int t = 0; t < 2; ++t) {
    const Target &target = Targets[t];
    std::size_t refused = 0;
    for (const fs::path &file : FilesIn(FuzzFolder / "corpus" / target.name)) {
      const std::string name = file.filename().string();
      const std::vector<std::uint8_t> bytes = Contents(file);
      ASSERT_FALSE(bytes.empty()) << file;
      CDibImage image;
      DibRefusal why = DibRefusal::None;
      const bool read = target.read(bytes.data() + 1, bytes.size() - 1, image, &why);
      if (name.starts_with("ok-")) {
        EXPECT_TRUE(read) << file << " refused, reason " << static_cast<int>(why);
        continue;
      }
      const auto expected = refusals[t].find(name);
      ASSERT_NE(expected, refusals[t].end()) << "no expected reason for " << file;
      EXPECT_FALSE(read) << file;
      EXPECT_EQ(why, expected->second) << file;
      ++refused;
    }
    // Every reason listed has its seed.
    EXPECT_EQ(refused, refusals[t].size()) << target.name;
  }
}

// The damage each malformed PNG seed is refused for, as a command line shows it.
const std::map<std::string, std::string> PngRefusals = {
    {"bad-empty", "PNG: bad signature"},
    {"bad-signature-bmp", "PNG: bad signature"},
    {"bad-signature-damaged", "PNG: bad signature"},
    {"bad-truncated-in-signature", "PNG: bad signature"},
    {"bad-truncated-in-ihdr", "PNG: truncated in IHDR"},
    {"bad-truncated-before-idat", "PNG: truncated"},
    {"bad-truncated-in-idat", "PNG: truncated in IDAT"},
    {"bad-crc-ihdr", "PNG: bad CRC in IHDR"},
    {"bad-crc-idat", "PNG: bad CRC in IDAT"},
    {"bad-crc-ancillary", "PNG: bad CRC in tEXt"},
    {"bad-too-wide", "PNG: picture too large"},
    {"bad-too-tall", "PNG: picture too large"},
    {"bad-bomb-16385x16385", "PNG: picture too large"},
    {"bad-ihdr-rgb-4-bits", "PNG: bad header in IHDR"},
    {"bad-ihdr-width-zero", "PNG: bad header in IHDR"},
    {"bad-ihdr-colour-type-5", "PNG: bad header in IHDR"},
    {"bad-zlib-garbage", "PNG: bad deflate data in IDAT"},
    {"bad-too-little-data", "PNG: too little pixel data in IDAT"},
    {"bad-palette-without-plte", "PNG: no palette"},
    {"bad-iend-before-idat", "PNG: IEND out of place"},
    {"bad-idat-before-ihdr", "PNG: IDAT out of place"},
    {"bad-ancillary-before-ihdr", "PNG: tEXt out of place"},
};

TEST(FuzzReplay, PngSeedsAreReadOrRefusedForTheirOwnReason) {
  std::size_t refused = 0;
  for (const fs::path &file : FilesIn(FuzzFolder / "corpus" / "png_file")) {
    const std::string name = file.filename().string();
    const std::vector<std::uint8_t> bytes = Contents(file);
    ASSERT_FALSE(bytes.empty()) << file;
    CDibImage image;
    PictureRefusal why;
    const bool read = ReadPngBytes(bytes.data() + 1, bytes.size() - 1, image, &why);
    if (name.starts_with("ok-")) {
      EXPECT_TRUE(read) << file << " refused: " << DescribeRefusal(why);
      continue;
    }
    const auto expected = PngRefusals.find(name);
    ASSERT_NE(expected, PngRefusals.end()) << "no expected reason for " << file;
    EXPECT_FALSE(read) << file;
    EXPECT_EQ(DescribeRefusal(why), expected->second) << file;
    ++refused;
  }
  EXPECT_EQ(refused, PngRefusals.size());
}

} // namespace
