#include "kivo/block_file.h"

#include <signal.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "scratch_folder.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

class BlockFileTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> block(uint8_t fill, size_t size = 1000) { return std::vector<uint8_t>(size, fill); }
  static std::vector<uint8_t> contents(const fs::path& path) { return kivo_test::file_contents(path); }

  kivo_test::TempDir folder_{"block_file"};
  const fs::path dir_ = folder_.path();
};

TEST_F(BlockFileTest, CreateNewRefusesAnExistingFileAndLeavesItAlone) {
  const fs::path path = dir_ / "b.dat";
  std::ofstream(path) << "keep";
  BlockFile file;
  EXPECT_EQ(file.open(path.string(), FileMode::create_new_write_through), EEXIST);
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(fs::file_size(path), 4U);
  EXPECT_NE(file_error_text(EEXIST).find("exists"), std::string::npos);
}

TEST_F(BlockFileTest, FailedWritesAreReportedAndTakenBackOut) {
  BlockFile full;
  ASSERT_EQ(full.open("/dev/full", FileMode::create_or_truncate), 0);
  EXPECT_EQ(full.append(block(7).data(), 1000), ENOSPC);

  // A file size limit of two and a half blocks: the third block is written
  // in part, fails, and is removed again, so the first two stay whole.
  const fs::path path = dir_ / "c.dat";
  BlockFile file;
  ASSERT_EQ(file.open(path.string(), FileMode::create_or_truncate), 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 2500;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  EXPECT_EQ(file.append(block(1).data(), 1000), 0);
  EXPECT_EQ(file.append(block(2).data(), 1000), 0);
  EXPECT_EQ(file.append(block(3).data(), 1000), EFBIG);
  EXPECT_EQ(file.append(block(4).data(), 1000), EFBIG);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(file.append(block(5).data(), 1000), 0);  // writing goes on once there is room
  EXPECT_EQ(file.close(), 0);
  const auto bytes = contents(path);
  ASSERT_EQ(bytes.size(), 3000U);
  EXPECT_EQ(bytes[1999], 2);
  EXPECT_EQ(bytes[2000], 5);
}

TEST_F(BlockFileTest, OpenFailsWithTheReasonForAMissingDirectory) {
  BlockFile file;
  EXPECT_EQ(file.open((dir_ / "missing" / "d.dat").string(), FileMode::create_or_truncate), ENOENT);
  EXPECT_EQ(file.close(), 0);  // closing what is not open is harmless
}

}  // namespace
}  // namespace kivo
