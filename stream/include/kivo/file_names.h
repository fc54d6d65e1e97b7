// Names of the sample files. Each name carries the local time at which the
// recording started; the plug-in's two files share one reading of the clock.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "kivo/clock.h"

namespace kivo {

// The folder `savedir` names, as an absolute path, so that the names made
// from it stay where they were when the current folder changes: a relative
// one is taken from the current folder, and "" is the current folder itself
// (not the root that "/" + name would make). Where the current folder
// cannot be told, the folder as given ("." for "").
std::string absolute_folder(const std::string& savedir);

// "<savedir>/YYYY-MM-DD_hh-mm-ss_kivo_samples.dat"; savedir is used as given.
std::string raw_file_name(const std::string& savedir, const std::tm& local);
// "<savedir>/YYYY-MM-DD_hh-mm-ss_kivo_filtered_samples.dat"
std::string filtered_file_name(const std::string& savedir, const std::tm& local);
// "YYYY-MM-DD_hh-mm-ss_kivo_samples.dat", relative to the working directory.
std::string recorder_file_name(const std::tm& local);

// The first of these sample files, or of their metadata files, that exists;
// empty when none does.
std::string existing_file_among(const std::vector<std::string>& sample_paths);

// The clock reading that names a new recording: the current second, or, when
// `taken` says that its names are in use (a recording started within the same
// second), the next second, waited for (at most about a second). Nothing is
// ever written over: the caller checks the names of the reading it gets once
// more, since a clock set back can repeat a second.
TimeReading time_for_new_names(const std::function<bool(const std::tm& local)>& taken);

}  // namespace kivo
