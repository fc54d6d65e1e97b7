// Names of the sample files. Each name carries the local time at which the
// recording started; the plug-in's two files share one reading of the clock.
#pragma once

#include <ctime>
#include <string>

namespace kivo {

// "<savedir>/YYYY-MM-DD_hh-mm-ss_kivo_samples.dat"; savedir is used as given.
std::string raw_file_name(const std::string& savedir, const std::tm& local);
// "<savedir>/YYYY-MM-DD_hh-mm-ss_kivo_filtered_samples.dat"
std::string filtered_file_name(const std::string& savedir, const std::tm& local);
// "YYYY-MM-DD_hh-mm-ss_kivo_samples.dat", relative to the working directory.
std::string recorder_file_name(const std::tm& local);

}  // namespace kivo
