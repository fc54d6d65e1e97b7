#include "brainvision.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace kivo::exporter {
namespace {

const char* type_name(MarkerType type) {
  switch (type) {
    case MarkerType::new_segment: return "New Segment";
    case MarkerType::bad_interval: return "Bad Interval";
    case MarkerType::stimulus: return "Stimulus";
    case MarkerType::comment: break;
  }
  return "Comment";
}

}  // namespace

std::string interval_text(double sample_rate) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", 1e6 / sample_rate);
  return text;
}

std::string marker_date(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return std::string(20, '0');
  auto whole = static_cast<std::time_t>(std::floor(seconds));
  auto micro = static_cast<long>(std::llround((seconds - std::floor(seconds)) * 1e6));
  if (micro >= 1000000) {
    ++whole;
    micro -= 1000000;
  }
  const std::tm* utc = std::gmtime(&whole);  // this program runs one thread
  if (utc == nullptr) return std::string(20, '0');
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%06ld", utc->tm_year + 1900, utc->tm_mon + 1,
                utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec, micro);
  return text;
}

std::string field_text(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == ',') {
      out += "\\1";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string header_text(const HeaderInfo& info) {
  std::ostringstream out;
  out << "Brain Vision Data Exchange Header File Version 1.0\n"
         "; Written by kivoexport from a Kivo recording\n"
         "\n"
         "[Common Infos]\n"
         "Codepage=UTF-8\n"
      << "DataFile=" << info.data_file << "\n"
      << "MarkerFile=" << info.marker_file << "\n"
      << "DataFormat=BINARY\n"
         "; Data orientation: MULTIPLEXED=ch1,pt1, ch2,pt1 ...\n"
         "DataOrientation=MULTIPLEXED\n"
      << "NumberOfChannels=" << info.nchans << "\n"
      << "; Sampling interval in microseconds\n"
      << "SamplingInterval=" << interval_text(info.sample_rate) << "\n"
      << "\n"
         "[Binary Infos]\n"
         "BinaryFormat=IEEE_FLOAT_32\n"
         "\n"
         "[Channel Infos]\n"
         "; Each entry: Ch<Channel number>=<Name>,<Reference channel name>,\n"
         "; <Resolution in \"Unit\">,<Unit>, Future extensions..\n"
         "; Fields are delimited by commas, some fields might be omitted (empty).\n"
         "; Commas in channel names are coded as \"\\1\".\n";
  for (uint32_t ch = 1; ch <= info.nchans; ++ch) out << "Ch" << ch << "=ch" << ch << ",,1,\xC2\xB5V\n";
  out << "\n[Comment]\n";
  for (const std::string& line : info.comment) out << line << "\n";
  return out.str();
}

std::string marker_text(const std::string& data_file, const std::vector<Marker>& markers) {
  std::ostringstream out;
  out << "Brain Vision Data Exchange Marker File, Version 1.0\n"
         "\n"
         "[Common Infos]\n"
         "Codepage=UTF-8\n"
      << "DataFile=" << data_file << "\n"
      << "\n"
         "[Marker Infos]\n"
         "; Each entry: Mk<Marker number>=<Type>,<Description>,<Position in data points>,\n"
         "; <Size in data points>, <Channel number (0 = marker is related to all channels)>\n"
         "; Fields are delimited by commas, some fields might be omitted (empty).\n"
         "; Commas in type or description text are coded as \"\\1\".\n";
  uint64_t number = 0;
  for (const Marker& m : markers) {
    out << "Mk" << ++number << "=" << type_name(m.type) << "," << field_text(m.description) << ","
        << m.row + 1 << "," << m.size << ",0";
    if (m.type == MarkerType::new_segment) out << "," << marker_date(m.time);
    out << "\n";
  }
  return out.str();
}

}  // namespace kivo::exporter
