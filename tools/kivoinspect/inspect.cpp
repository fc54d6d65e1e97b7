#include "inspect.h"

#include <cstdio>
#include <string>

#include "analysis.h"
#include "checks.h"
#include "filter_check.h"
#include "kivo/version.h"
#include "options.h"
#include "progress.h"
#include "report.h"
#include "source.h"

namespace kivo::inspect {
namespace {

int unusable(const std::string& why) {
  std::fprintf(stderr, "kivoinspect: %s\n", why.c_str());
  return kUnusable;
}

void print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

int inspect_file(const Options& o) {
  Source source;
  if (const std::string error = open_source(o.file, o.channels, o.kind, source); !error.empty()) {
    return unusable(error);
  }
  const kivo::EventsRead events = kivo::read_events(kivo::events_path_for(o.file));
  Summary summary;
  {
    ProgressBar bar(progress_wanted(source.file.size()), "reading");
    const std::vector<kivo::SlotAnchor> none;
    const bool anchored = source.metadata && source.metadata->slot_anchors;
    summary = analyse(source.slots(), bar.callback(), anchored ? *source.metadata->slot_anchors : none,
                      slots_of_events(events, source.layout.geometry.nsamp));
  }
  Findings findings = check_recording(summary, source.metadata, kivo::base_name(o.file));
  const bool stated = source.metadata && source.metadata->timing;
  findings.events = check_events(events, summary, stated ? source.metadata->timing : summary.fitted);
  findings.problems.insert(findings.problems.end(), findings.events.problems.begin(),
                           findings.events.problems.end());
  print(o.json ? summary_json(source, summary, findings) : summary_text(source, summary, findings));
  const bool consistent = source.problems.empty() && findings.problems.empty();
  return consistent ? kConsistent : kInconsistent;
}

int verify(const Options& o) {
  Source filtered;
  if (const std::string error = open_source(o.filtered, o.channels, kivo::FileKind::filtered, filtered);
      !error.empty()) {
    return unusable(error);
  }
  if (!filtered.metadata || !filtered.metadata->filter) {
    return unusable(o.filtered + " has no usable metadata file with the filter's coefficients");
  }
  Source raw;
  const uint32_t nchans = filtered.layout.geometry.nchans;
  if (const std::string error =
          open_source(o.raw, o.channels ? o.channels : nchans, kivo::FileKind::raw, raw);
      !error.empty()) {
    return unusable(error);
  }
  if (raw.metadata && raw.metadata->kind != kivo::FileKind::raw) {
    return unusable(o.raw + " is not a raw samples file (its metadata says " +
                    kivo::kind_name(raw.metadata->kind) + ")");
  }
  FilterVerdict verdict;
  if (raw.metadata && raw.metadata->nchans != nchans) {
    verdict.detail = "the raw file has " + std::to_string(raw.metadata->nchans) +
                     " channels, the filtered file " + std::to_string(nchans);
  } else {
    ProgressBar bar(progress_wanted(raw.file.size()), "filtering");
    verdict = verify_filter(raw.slots(), filtered.slots(), *filtered.metadata->filter, bar.callback());
  }
  print(o.json ? verdict_json(raw, filtered, verdict) : verdict_text(raw, filtered, verdict));
  return verdict.verified ? kConsistent : kInconsistent;
}

}  // namespace

int run(int argc, const char* const* argv) {
  const ParsedOptions parsed = parse_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "kivoinspect: %s\n%s", parsed.error.c_str(), usage_text().c_str());
    return kUnusable;
  }
  const Options& o = parsed.options;
  if (o.help) {
    print(usage_text());
    return kConsistent;
  }
  if (o.version) {
    print(std::string("kivoinspect ") + KIVO_VERSION + "\n");
    return kConsistent;
  }
  return o.verify_filter() ? verify(o) : inspect_file(o);
}

}  // namespace kivo::inspect
