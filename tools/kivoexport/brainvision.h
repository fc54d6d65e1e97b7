// The text files of the BrainVision format: the header (.vhdr) that says
// how to read the binary data file (.eeg) and the marker file (.vmrk).
// Both are written in UTF-8 and say so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "markers.h"

namespace kivo::exporter {

struct HeaderInfo {
  std::string data_file;  // base names, beside the header
  std::string marker_file;
  uint32_t nchans = 0;
  double sample_rate = 0;            // samples per second per channel
  std::vector<std::string> comment;  // lines of the [Comment] section
};

// Channels ch1..chN, 32-bit floats, multiplexed (the channels of one time
// step together), resolution 1 in µV.
std::string header_text(const HeaderInfo& info);

// Markers numbered from 1, at rows numbered from 1 as the format counts them.
std::string marker_text(const std::string& data_file, const std::vector<Marker>& markers);

// The sampling interval in microseconds, with every decimal that it needs.
std::string interval_text(double sample_rate);
// "YYYYMMDDhhmmssuuuuuu" in UTC, as a new segment's date; twenty zeros for NaN.
std::string marker_date(double seconds);
// A field's text: commas coded as "\1", control characters as spaces.
std::string field_text(const std::string& text);

}  // namespace kivo::exporter
