#include "metadata_timing.h"

#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>

#include "kivo/metadata.h"

namespace kivo::exporter {

MetadataTiming read_metadata_timing(const std::string& sample_path) {
  MetadataTiming out;
  std::ifstream in(kivo::metadata_path_for(sample_path), std::ios::binary);
  if (!in) return out;
  std::ostringstream text;
  text << in.rdbuf();
  const auto json = nlohmann::json::parse(text.str(), nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json.contains("timing")) return out;
  try {
    out.timing = kivo::parse_timing_json(json["timing"].dump());
  } catch (const kivo::MetadataError& e) {
    out.problem = std::string("its \"timing\" cannot be used: ") + e.what();
  }
  return out;
}

}  // namespace kivo::exporter
