#include "kivo/file_names.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

std::tm march_7_2015() {
  std::tm t{};
  t.tm_year = 115;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  return t;
}

TEST(FileNames, RawFilteredAndRecorderNamesShareOneTimeReading) {
  const std::tm t = march_7_2015();
  EXPECT_EQ(raw_file_name("D:/runs", t), "D:/runs/2015-03-07_14-05-09_kivo_samples.dat");
  EXPECT_EQ(filtered_file_name("D:/runs", t), "D:/runs/2015-03-07_14-05-09_kivo_filtered_samples.dat");
  EXPECT_EQ(recorder_file_name(t), "2015-03-07_14-05-09_kivo_samples.dat");
}

TEST(FileNames, DirectoryIsUsedExactlyAsGiven) {
  const std::tm t = march_7_2015();
  EXPECT_EQ(raw_file_name("/data/", t), "/data//2015-03-07_14-05-09_kivo_samples.dat");
  EXPECT_EQ(raw_file_name("", t), "/2015-03-07_14-05-09_kivo_samples.dat");
  const std::string long_dir(600, 'd');  // no fixed limit on the path
  EXPECT_EQ(raw_file_name(long_dir, t).size(), 600 + 1 + 36U);
}

}  // namespace
}  // namespace kivo
