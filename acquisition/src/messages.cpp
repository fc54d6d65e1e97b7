#include "messages.h"

#include "kivo/events_file.h"

namespace kivo::messages {

std::string names_taken(const std::string& path) { return path + " exists and is not overwritten"; }

std::string bind_failed(const std::string& reason) { return "bind - " + reason; }

std::string call_failed(const char* call, int code) {
  return std::string(call) + "() failed with error " + std::to_string(static_cast<unsigned>(code));
}

std::string samples_not_saved(const std::string& path) {
  return "Could not open " + path + ", samples will not be saved!";
}

std::string filtered_samples_not_saved(const std::string& path) {
  return "Could not open " + path + ", filtered samples will not be saved!";
}

std::string metadata_not_saved(const std::string& path) {
  return "Could not open " + path + ", metadata not saved yet (tried again at close)";
}

std::string connection_opened(int port) {
  return "UDP connection to @ port " + std::to_string(port) + " opened...";
}

std::string blocks_not_written(uint64_t count, const std::string& path, const std::string& reason) {
  return std::to_string(count) + " block(s) could not be written to " + path + " (" + reason + ")";
}

std::string writer_fell_behind(uint64_t times, const std::string& path) {
  return "the writer fell behind " + std::to_string(times) + " time(s) while saving to " + path +
         "; datagrams the socket could not hold meanwhile are counted as kernel drops";
}

std::string dropped_by_system(uint64_t count, const std::string& path) {
  return std::to_string(count) + " datagram(s) were dropped by the system before they reached " + path;
}

std::string removed_while_written(const std::string& path, uint64_t blocks) {
  return path + " was removed while it was written; the " + std::to_string(blocks) +
         " block(s) saved to it are lost";
}

std::string renamed_while_written(const std::string& path, uint64_t blocks) {
  return path + " was renamed while it was written; the " + std::to_string(blocks) +
         " block(s) saved to it are kept under its new name";
}

std::string socket_shut_down_elsewhere(int port) {
  return "the socket of port " + std::to_string(port) +
         " was shut down by another process; nothing was received after that";
}

std::string close_failed(const std::string& path) {
  return "closing " + path + " failed; its last block may be incomplete";
}

std::string metadata_not_completed(const std::string& path, const std::string& reason) {
  return "could not complete " + path + " (" + reason + ")";
}

std::string filtered_samples_clipped(uint64_t count) {
  return std::to_string(count) + " filtered sample(s) were out of range and were clipped";
}

std::string mark_value_out_of_range() {
  return "the mark's value must be a whole number from 0 to " + std::to_string(kMaxEventValue);
}

std::string mark_text_too_long() {
  return "the mark's text must be at most " + std::to_string(kMaxEventTextBytes) + " bytes";
}

std::string mark_not_written(const std::string& path, const std::string& reason) {
  return "could not write the mark to " + path + " (" + reason + ")";
}

std::string nothing_saved(const std::string& path) {
  return "nothing was saved: " + path + " could not be created";
}

}  // namespace kivo::messages
