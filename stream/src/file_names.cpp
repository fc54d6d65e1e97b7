#include "kivo/file_names.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "kivo/metadata.h"

namespace kivo {
namespace {

std::string time_stamp(const std::tm& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%4d-%02d-%02d_%02d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

bool exists(const std::string& path) {
  // A name that cannot be looked up counts as free: creating the file then
  // fails and says why, and the file is created only where none exists.
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

std::string absolute_folder(const std::string& savedir) {
  namespace fs = std::filesystem;
  const std::string as_given = savedir.empty() ? std::string(".") : savedir;
  try {
    std::error_code error;
    const fs::path folder =
        savedir.empty() ? fs::current_path(error) : fs::absolute(fs::path(savedir), error);
    return error ? as_given : folder.string();
  } catch (const std::system_error&) {  // a name the system's encoding cannot convert
    return as_given;
  }
}

std::string raw_file_name(const std::string& savedir, const std::tm& local) {
  return savedir + "/" + time_stamp(local) + "_kivo_samples.dat";
}

std::string filtered_file_name(const std::string& savedir, const std::tm& local) {
  return savedir + "/" + time_stamp(local) + "_kivo_filtered_samples.dat";
}

std::string recorder_file_name(const std::tm& local) { return time_stamp(local) + "_kivo_samples.dat"; }

std::string existing_file_among(const std::vector<std::string>& sample_paths) {
  for (const std::string& path : sample_paths) {
    if (exists(path)) return path;
    const std::string metadata = metadata_path_for(path);
    if (exists(metadata)) return metadata;
  }
  return std::string();
}

TimeReading time_for_new_names(const std::function<bool(const std::tm& local)>& taken) {
  const TimeReading first = read_time_now();
  if (!taken(first.local)) return first;
  constexpr auto kStep = std::chrono::milliseconds(10);
  constexpr int kMostSteps = 150;  // a second and a half, should the clock be coarse
  TimeReading now = first;
  for (int step = 0; step < kMostSteps && now.calendar == first.calendar; ++step) {
    std::this_thread::sleep_for(kStep);
    now = read_time_now();
  }
  return now;
}

}  // namespace kivo
