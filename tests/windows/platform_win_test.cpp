// The other Windows realisations: clock, metadata file replacement, the
// mapped file of kivoinspect. (The console stop of kivorec is tested on
// kivorec.exe itself: a Ctrl-C sent here would reach every program of the
// console.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "kivo/clock.h"
#include "kivo/metadata_platform.h"
#include "mapped_file.h"
#include "scratch_folder.h"

namespace {

namespace fs = std::filesystem;

TEST(ClockWin, StampsAreSecondsSince1970AndLocalTimeMatchesTheCalendar) {
  const double stamp = kivo::unix_time_seconds();
  EXPECT_LT(std::fabs(stamp - static_cast<double>(std::time(nullptr))), 5.0);
  bool finer_than_seconds = false;  // 100-ns units: a whole second now and then at most
  for (int i = 0; i < 100 && !finer_than_seconds; ++i) {
    const double s = kivo::unix_time_seconds();
    finer_than_seconds = s != std::floor(s);
  }
  EXPECT_TRUE(finer_than_seconds);
  const kivo::TimeReading now = kivo::read_time_now();
  EXPECT_GE(now.local.tm_year + 1900, 2020);
  EXPECT_EQ(now.utc.tm_min, static_cast<int>(now.calendar / 60 % 60));
}

TEST(MetadataWin, ReplacesAFileWholeAndLeavesNoTemporaryBehind) {
  const kivo_test::TempDir scratch("metadata_win");
  const fs::path& dir = scratch.path();
  const fs::path path = dir / "m.json";
  ASSERT_EQ(kivo::replace_file_atomically(path.string(), "{\"first\": 1}\n"), 0);
  ASSERT_EQ(kivo::replace_file_atomically(path.string(), "{\"second\": 2}\n"), 0);
  EXPECT_EQ(kivo_test::file_text(path), "{\"second\": 2}\n");
  EXPECT_FALSE(fs::exists(dir / "m.json.tmp"));
  EXPECT_NE(kivo::replace_file_atomically((dir / "missing" / "m.json").string(), "{}"), 0);
  EXPECT_FALSE(kivo::host_name().empty());
}

TEST(MappedFileWin, MapsWholeFilesAndNamesWhatWentWrong) {
  const kivo_test::TempDir scratch("mapped_win");
  const fs::path& dir = scratch.path();
  std::ofstream(dir / "data.bin", std::ios::binary) << "0123456789";
  std::ofstream(dir / "empty.bin", std::ios::binary);
  {
    kivo::inspect::MappedFile file;
    ASSERT_EQ(file.open((dir / "data.bin").string()), "");
    ASSERT_EQ(file.size(), 10U);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), file.size()), "0123456789");
    EXPECT_EQ(file.open((dir / "empty.bin").string()), "");
    EXPECT_EQ(file.size(), 0U);
    EXPECT_NE(file.open((dir / "absent.bin").string()), "");
    EXPECT_NE(file.open(dir.string()), "");  // a folder is not a file
  }
}

}  // namespace
