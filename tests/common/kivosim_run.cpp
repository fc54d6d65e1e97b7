#include "kivosim_run.h"

#include <cstdio>

namespace kivo_test {

std::optional<KivosimSummary> parse_kivosim_summary(const std::string& out) {
  const size_t at = out.find("kivosim: sent ");
  if (at == std::string::npos) return std::nullopt;
  KivosimSummary s;
  unsigned long long sent = 0, bytes = 0, skipped = 0;
  int end = -1;
  std::sscanf(out.c_str() + at,
              "kivosim: sent %llu datagrams (%llu bytes) in %lf s: %lf datagrams/s; skipped %llu sequence "
              "numbers\n%n",
              &sent, &bytes, &s.seconds, &s.rate, &skipped, &end);
  if (end < 0) return std::nullopt;  // the line ended early or differs in its words
  s.sent = sent;
  s.bytes = bytes;
  s.skipped = skipped;
  return s;
}

Finished finish(ChildProcess& child, std::chrono::seconds limit) {
  Finished f;
  f.status = child.wait(limit).value_or(-1);
  f.out = child.out();
  f.err = child.err();
  return f;
}

std::unique_ptr<ChildProcess> start_kivosim(const std::vector<std::string>& args, const std::string& workdir,
                                            const std::string& output_prefix) {
  std::vector<std::string> argv{KIVOSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(argv, workdir, output_prefix);
}

Finished run_kivosim(const std::vector<std::string>& args) { return finish(*start_kivosim(args)); }

}  // namespace kivo_test
