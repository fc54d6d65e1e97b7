#include "export.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "brainvision.h"
#include "comment.h"
#include "events.h"
#include "kivo/version.h"
#include "markers.h"
#include "metadata_timing.h"
#include "options.h"
#include "output_files.h"
#include "plan.h"
#include "progress.h"
#include "sample_writer.h"
#include "source.h"

namespace kivo::exporter {
namespace {

namespace fs = std::filesystem;

// Beyond this share of breaks the numbers are not a sequence at all.
constexpr double kMostlyBroken = 0.5;
constexpr uint64_t kEnoughSlotsToJudge = 16;

// Why the export stops: the exit status and what to tell the user.
struct Stop {
  int status;
  std::string why;
};

int report(const Stop& stop) {
  std::fprintf(stderr, "kivoexport: %s\n", stop.why.c_str());
  return stop.status;
}

void print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

std::string layout_words(const inspect::Layout& l) {
  return std::to_string(l.slot_bytes) + "-byte slots of " + std::to_string(l.geometry.nchans) +
         " channels (" + kivo::kind_name(l.kind) + ")";
}

// Opens the recording; a whole number of slots that run on as a sequence.
std::optional<Stop> open_recording(const Options& o, inspect::Source& source) {
  std::string error = inspect::open_source(o.file, o.channels, o.kind, source);
  if (!error.empty()) return Stop{kNotExported, source.problems.empty() ? error : source.problems.front()};
  if (!source.problems.empty() && !o.channels) return Stop{kNotExported, source.problems.front()};
  const inspect::Extent extent = inspect::extent_of(source.file.size(), source.layout);
  if (extent.trailing_bytes != 0) {
    return Stop{kNotExported, o.file + " ends " + std::to_string(extent.trailing_bytes) +
                                  " bytes into a slot: read as " + layout_words(source.layout) +
                                  ", it was cut while a slot was written, or its channel count is wrong"};
  }
  if (extent.slots == 0) return Stop{kNotExported, o.file + " holds no whole slot"};
  return std::nullopt;
}

std::optional<Stop> check_plan(const Options& o, const inspect::Source& source, const Plan& plan) {
  if (plan.exported.empty()) return Stop{kNotExported, o.file + " holds no datagrams, only stale slots"};
  const auto fresh = static_cast<double>(plan.exported.size());
  if (plan.exported.size() >= kEnoughSlotsToJudge &&
      static_cast<double>(plan.sequence_breaks) > kMostlyBroken * fresh) {
    return Stop{kNotExported, "the sequence numbers of " + o.file + " do not run on in most slots: read as " +
                                  layout_words(source.layout) +
                                  ", its channel count or kind is wrong, or it is not a Kivo file"};
  }
  return std::nullopt;
}

struct Rate {
  double hz = kivo::kNoTime;
  std::string source;
  const kivo::SampleTiming* clock = nullptr;  // for the times of samples
};

std::string with_uncertainty(const char* words, const kivo::SampleTiming& t) {
  std::string text = words;
  if (std::isfinite(t.sample_rate_uncertainty_ppm)) {
    char ppm[48];
    std::snprintf(ppm, sizeof ppm, " (within %.3g ppm)", t.sample_rate_uncertainty_ppm);
    text += ppm;
  }
  return text;
}

std::optional<Stop> choose_rate(const Options& o, const Plan& plan, const MetadataTiming& recorded,
                                Rate& rate) {
  rate.clock = plan.fitted ? &*plan.fitted : recorded.timing ? &*recorded.timing : nullptr;
  if (o.sample_rate) {
    rate.hz = *o.sample_rate;
    rate.source = "as given with --sample-rate";
  } else if (recorded.timing && recorded.timing->sample_rate > 0) {
    rate.hz = recorded.timing->sample_rate;
    rate.source = with_uncertainty("fitted to the receive stamps while recording", *recorded.timing);
  } else if (plan.fitted && plan.fitted->sample_rate > 0) {
    rate.hz = plan.fitted->sample_rate;
    rate.source = with_uncertainty("fitted to the receive stamps", *plan.fitted);
  } else {
    return Stop{kNotExported,
                "no sampling rate for " + o.file +
                    (plan.fitted ? ": too few stamps to fit one" : ": the file has no receive stamps") +
                    "; give it with --sample-rate HZ"};
  }
  return std::nullopt;
}

// The folder and base name of the three files: FILE's name without its
// extension, beside FILE or in --out.
std::string output_stem(const Options& o) {
  const fs::path file(o.file);
  const fs::path stem = file.stem();
  if (!o.out_dir.empty()) return (fs::path(o.out_dir) / stem).string();
  return (file.parent_path() / stem).string();
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) && !error;
}

std::optional<Stop> check_not_over(const Options& o, const OutputFiles& out, const std::string& events_path) {
  for (const Part part : {Part::data, Part::markers, Part::header}) {
    const std::string path = out.final_path(part);
    for (const std::string& input : {o.file, kivo::metadata_path_for(o.file), events_path}) {
      if (same_file(path, input)) {
        return Stop{kBadCommandLine,
                    "the export would write over " + input + "; give another folder with --out"};
      }
    }
  }
  return std::nullopt;
}

struct Texts {
  std::string header;
  std::string markers;
  std::string summary;
};

Texts make_texts(const Options& o, const inspect::Source& source, const Plan& plan, const Rate& rate,
                 const OutputFiles& out, const std::string& events_path, const EventsRead& events) {
  const PlacedEvents placed = place_events(events.events, plan, rate.clock);
  std::vector<BreakNote> breaks;
  std::vector<Marker> markers = in_row_order(break_markers(plan, rate.clock, breaks), placed.markers);
  CommentFacts facts{kivo::base_name(o.file),
                     source.layout.kind,
                     source.layout.geometry.nchans,
                     plan.nsamp,
                     rate.hz,
                     rate.source,
                     plan.rows(),
                     plan.exported.size(),
                     plan.stale_count(),
                     breaks,
                     kivo::base_name(events_path),
                     events.present,
                     &placed};
  HeaderInfo info{out.base_name(Part::data), out.base_name(Part::markers), source.layout.geometry.nchans,
                  rate.hz, comment_lines(facts)};
  char rate_text[64];
  std::snprintf(rate_text, sizeof rate_text, "%.9g", rate.hz);
  const std::string summary =
      "wrote " + out.final_path(Part::header) + " with its .vmrk and .eeg: " + std::to_string(plan.rows()) +
      " data points of " + std::to_string(info.nchans) + " channels at " + rate_text + " Hz, " +
      std::to_string(breaks.size()) + " breaks, " + std::to_string(plan.stale_count()) +
      " stale slots left out, " + std::to_string(placed.placed) + " events (" +
      std::to_string(placed.left_out.size()) + " left out)\n";
  return {header_text(info), marker_text(info.data_file, markers), summary};
}

std::optional<Stop> write_outputs(const inspect::Source& source, const Plan& plan, const Texts& texts,
                                  OutputFiles& out) {
  if (const std::string error = out.open(Part::data); !error.empty()) {
    return Stop{kNotWritten, error + "; write the files elsewhere with --out DIR"};
  }
  {
    inspect::ProgressBar bar(inspect::progress_wanted(source.file.size()), "writing",
                             source.layout.slot_bytes);
    if (const int error = write_samples(source.slots(), plan, out.file(Part::data), bar.callback());
        error != 0) {
      return Stop{kNotWritten,
                  "cannot write " + out.final_path(Part::data) + ": " + kivo::file_error_text(error)};
    }
  }
  for (const auto& [part, text] :
       {std::pair{Part::markers, &texts.markers}, std::pair{Part::header, &texts.header}}) {
    if (const std::string error = out.write_text(part, *text); !error.empty())
      return Stop{kNotWritten, error};
  }
  std::string warning;
  if (const std::string error = out.commit(warning); !error.empty()) return Stop{kNotWritten, error};
  if (!warning.empty()) std::fprintf(stderr, "kivoexport: warning: %s\n", warning.c_str());
  return std::nullopt;
}

int export_file(const Options& o) {
  inspect::Source source;
  if (auto stop = open_recording(o, source)) return report(*stop);
  Plan plan;
  {
    inspect::ProgressBar bar(inspect::progress_wanted(source.file.size()), "reading",
                             source.layout.slot_bytes);
    plan = make_plan(source.slots(), bar.callback());
  }
  if (auto stop = check_plan(o, source, plan)) return report(*stop);
  const MetadataTiming recorded = read_metadata_timing(o.file);
  if (!recorded.problem.empty()) {
    std::fprintf(stderr, "kivoexport: note: the metadata of %s: %s; the clock is fitted anew\n",
                 o.file.c_str(), recorded.problem.c_str());
  }
  Rate rate;
  if (auto stop = choose_rate(o, plan, recorded, rate)) return report(*stop);
  const std::string events_path = events_path_for(o.file);
  const EventsRead events = read_events(events_path);
  if (!events.error.empty()) {
    return report({kNotExported, "the events file " + events_path + " cannot be used: " + events.error});
  }
  OutputFiles out(output_stem(o));
  if (auto stop = check_not_over(o, out, events_path)) return report(*stop);
  const Texts texts = make_texts(o, source, plan, rate, out, events_path, events);
  if (auto stop = write_outputs(source, plan, texts, out)) return report(*stop);
  print(texts.summary);
  return kExported;
}

}  // namespace

int run(int argc, const char* const* argv) {
  const ParsedOptions parsed = parse_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "kivoexport: %s\n%s", parsed.error.c_str(), usage_text().c_str());
    return kBadCommandLine;
  }
  const Options& o = parsed.options;
  if (o.help) {
    print(usage_text());
    return kExported;
  }
  if (o.version) {
    print(std::string("kivoexport ") + KIVO_VERSION + "\n");
    return kExported;
  }
  try {
    return export_file(o);
  } catch (const std::bad_alloc&) {
    return report({kNotExported, "not enough memory to export " + o.file});
  } catch (const std::exception& e) {
    return report({kNotExported, std::string("cannot export ") + o.file + ": " + e.what()});
  }
}

}  // namespace kivo::exporter
