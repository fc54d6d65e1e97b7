// kivoinspect's output: text for people, JSON for programs.
#pragma once

#include <optional>
#include <string>

#include "analysis.h"
#include "checks.h"
#include "filter_check.h"
#include "source.h"

namespace kivo::inspect {

std::string summary_text(const Source& source, const Summary& summary, const Findings& findings);
std::string summary_json(const Source& source, const Summary& summary, const Findings& findings);

std::string verdict_text(const Source& raw, const Source& filtered, const FilterVerdict& verdict);
std::string verdict_json(const Source& raw, const Source& filtered, const FilterVerdict& verdict);

// "2015-03-07T13:05:09.250Z" for a receive stamp.
std::string stamp_text(double seconds);

}  // namespace kivo::inspect
