#include "kivo/file_names.h"

#include <cstdio>

namespace kivo {
namespace {

std::string time_stamp(const std::tm& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%4d-%02d-%02d_%02d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace

std::string raw_file_name(const std::string& savedir, const std::tm& local) {
  return savedir + "/" + time_stamp(local) + "_kivo_samples.dat";
}

std::string filtered_file_name(const std::string& savedir, const std::tm& local) {
  return savedir + "/" + time_stamp(local) + "_kivo_filtered_samples.dat";
}

std::string recorder_file_name(const std::tm& local) {
  return time_stamp(local) + "_kivo_samples.dat";
}

}  // namespace kivo
