#include "output_files.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace kivo::exporter {
namespace {

constexpr Part kParts[] = {Part::data, Part::markers, Part::header};  // the order of renaming

const char* extension(Part part) {
  switch (part) {
    case Part::data: return ".eeg";
    case Part::markers: return ".vmrk";
    case Part::header: break;
  }
  return ".vhdr";
}

}  // namespace

OutputFiles::OutputFiles(std::string stem) : stem_(std::move(stem)) {}

OutputFiles::~OutputFiles() {
  if (!committed_) remove_temporaries();
}

std::string OutputFiles::final_path(Part part) const { return stem_ + extension(part); }

std::string OutputFiles::base_name(Part part) const {
  return std::filesystem::path(final_path(part)).filename().string();
}

std::string OutputFiles::temporary_path(Part part) const { return final_path(part) + ".tmp"; }

std::string OutputFiles::failure(Part part, const char* doing, int code) const {
  return std::string("cannot ") + doing + " " + temporary_path(part) + ": " + kivo::file_error_text(code);
}

std::string OutputFiles::open(Part part) {
  const int error = file(part).open(temporary_path(part), kivo::FileMode::create_or_truncate);
  return error == 0 ? std::string() : failure(part, "create", error);
}

std::string OutputFiles::write_text(Part part, const std::string& text) {
  if (const std::string error = open(part); !error.empty()) return error;
  const int error = file(part).append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return error == 0 ? std::string() : failure(part, "write", error);
}

std::string OutputFiles::commit(std::string& warning) {
  for (const Part part : kParts) {
    kivo::BlockFile& f = file(part);
    if (const int error = f.flush_to_disk(); error != 0) return failure(part, "write", error);
    if (const int error = f.close(); error != 0) return failure(part, "write", error);
  }
  for (const Part part : kParts) {
    std::error_code error;
    std::filesystem::rename(temporary_path(part), final_path(part), error);
    if (error) {
      const std::string why = "cannot name " + final_path(part) + ": " + error.message();
      // The parts already renamed would not match what was there before.
      for (const Part done : kParts) {
        if (done == part) break;
        std::filesystem::remove(final_path(done), error);
      }
      return why;
    }
  }
  committed_ = true;
  if (const int error = kivo::flush_folder_of(final_path(Part::header)); error != 0) {
    warning = "the new names may not survive a power cut: the folder could not be brought to the disk (" +
              kivo::file_error_text(error) + ")";
  }
  return {};
}

void OutputFiles::remove_temporaries() {
  for (const Part part : kParts) {
    file(part).close();
    std::error_code ignored;
    std::filesystem::remove(temporary_path(part), ignored);
  }
}

}  // namespace kivo::exporter
