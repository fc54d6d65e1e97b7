// The three files of an export, written under temporary names beside their
// final ones and renamed only when all three are complete and on the disk,
// so that a failed export leaves nothing behind and never a mismatched set.
#pragma once

#include <string>

#include "kivo/block_file.h"

namespace kivo::exporter {

enum class Part { data, markers, header };  // .eeg, .vmrk, .vhdr

class OutputFiles {
 public:
  // `stem`: the folder and the base name without extension.
  explicit OutputFiles(std::string stem);
  // Removes the temporary files unless committed.
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  std::string final_path(Part part) const;
  std::string base_name(Part part) const;

  // Opens the temporary file of `part`; "" or what went wrong.
  std::string open(Part part);
  kivo::BlockFile& file(Part part) { return files_[static_cast<int>(part)]; }
  // Writes `text` as the whole of a part.
  std::string write_text(Part part, const std::string& text);

  // Brings the three to the disk and gives them their final names, the
  // header last; "" or what went wrong (then none of the three is left).
  // `warning` gets what went wrong after the files have their names.
  std::string commit(std::string& warning);

 private:
  std::string temporary_path(Part part) const;
  std::string failure(Part part, const char* doing, int code) const;
  void remove_temporaries();

  std::string stem_;
  kivo::BlockFile files_[3];
  bool committed_ = false;
};

}  // namespace kivo::exporter
