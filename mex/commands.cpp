#include "commands.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivo/datagram.h"
#include "kivo/sample_clock.h"
#include "kivo/status.h"
#include "kivo/version.h"
#include "mx_args.h"

namespace velto {
namespace {

constexpr int kVersion[3] = {KIVO_VERSION_MAJOR, KIVO_VERSION_MINOR, KIVO_VERSION_PATCH};

// The plug-in's voice: its warnings carry its name, as every error of its own
// does; the other lines are printed as they have always been, bare.
void print_to_host(kivo::Severity severity, const std::string& text) {
  mexPrintf("%s%s\n", severity == kivo::Severity::warning ? "velto: warning: " : "", text.c_str());
}

void require(bool condition, const char* message) {
  if (!condition) throw std::runtime_error(message);
}

mxArray* double_row(const double* values, mwSize count) {
  const mwSize dims[2] = {1, count};
  mxArray* row = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
  double* out = mxGetPr(row);
  for (mwSize i = 0; i < count; ++i) out[i] = values[i];
  return row;
}

// Classes are checked before anything is created; values are the engine's.
kivo::OpenRequest open_request(int nrhs, const mxArray* prhs[]) {
  require(nrhs == 4 || nrhs == 6,
          "velto: velto('open', port, nchans, savedir) or velto('open', port, nchans, savedir, b, a)");
  require(is_real_numeric(prhs[1]), "velto: port must be a real number");
  require(is_real_numeric(prhs[2]), "velto: nchans must be a real number");
  require(mxIsChar(prhs[3]), "velto: savedir must be a string");
  kivo::OpenRequest request;
  request.port = first_numeric_value(prhs[1]);
  request.nchans = first_numeric_value(prhs[2]);
  request.savedir = mxArray2String(prhs[3]);
  if (nrhs == 6) {
    require(is_real_numeric(prhs[4]) && is_real_numeric(prhs[5]),
            "velto: filter coefficients b and a must be non-empty real numeric arrays");
    request.with_filter = true;
    request.b = numeric_values(prhs[4]);
    request.a = numeric_values(prhs[5]);
  }
  return request;
}

mxArray* datagram_struct(const uint8_t* datagram, size_t count) {
  const mwSize dims[2] = {static_cast<mwSize>(count), 1};
  mxArray* samples = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
  double* out = mxGetPr(samples);
  for (size_t i = 0; i < count; ++i) out[i] = kivo::sample_in_run(datagram, i);
  static const char* fieldnames[] = {"sequence_no", "samples"};
  const mwSize one[2] = {1, 1};
  mxArray* result = mxCreateStructArray(2, one, 2, fieldnames);
  mxSetField(result, 0, "sequence_no", mxCreateDoubleScalar(kivo::sequence_number(datagram)));
  mxSetField(result, 0, "samples", samples);
  return result;
}

mxArray* double_column(size_t count) {
  const mwSize dims[2] = {static_cast<mwSize>(count), 1};
  return mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
}

// The samples of `count` stamped slots as (count x nsamp) rows of nchans
// columns, one row per time step: T is double or uint16_t.
template <typename T>
void fill_samples(T* out, const uint8_t* slots, size_t count, size_t slot_bytes, size_t nsamp,
                  size_t nchans) {
  const size_t rows = count * nsamp;
  for (size_t d = 0; d < count; ++d) {
    const uint8_t* datagram = slots + d * slot_bytes + kivo::kStampBytes;
    for (size_t t = 0; t < nsamp; ++t) {
      const size_t row = d * nsamp + t;
      for (size_t c = 0; c < nchans; ++c) out[c * rows + row] = kivo::sample_in_run(datagram, t * nchans + c);
    }
  }
}

// What 'samples' returns: the datagrams received since the call before, with
// their times on the sample clock. `first_sample` is [] when there are none.
mxArray* samples_struct(kivo::Acquisition& state, bool native) {
  const kivo::TakenDatagrams taken = state.take_samples();
  const kivo::ClockLines lines = state.clock_lines();
  const size_t nchans = state.channels();
  const size_t nsamp = static_cast<size_t>(state.samples_per_channel());
  const size_t slot_bytes = static_cast<size_t>(state.datagram_size()) + kivo::kStampBytes;
  const size_t rows = taken.count * nsamp;
  const mwSize dims[2] = {static_cast<mwSize>(rows), static_cast<mwSize>(nchans)};
  mxArray* samples = mxCreateNumericArray(2, dims, native ? mxUINT16_CLASS : mxDOUBLE_CLASS, mxREAL);
  if (native) {
    fill_samples(static_cast<uint16_t*>(mxGetData(samples)), taken.slots, taken.count, slot_bytes, nsamp,
                 nchans);
  } else {
    fill_samples(mxGetPr(samples), taken.slots, taken.count, slot_bytes, nsamp, nchans);
  }
  mxArray* sequence_no = double_column(taken.count);
  mxArray* stamps = double_column(taken.count);
  mxArray* time = double_column(rows);
  for (size_t d = 0; d < taken.count; ++d) {
    const uint8_t* slot = taken.slots + d * slot_bytes;
    mxGetPr(sequence_no)[d] = kivo::sequence_number(slot + kivo::kStampBytes);
    std::memcpy(mxGetPr(stamps) + d, slot, sizeof(double));
    for (size_t t = 0; t < nsamp; ++t) {
      mxGetPr(time)[d * nsamp + t] = lines.time_of(taken.first_samples[d] + static_cast<int64_t>(t));
    }
  }
  static const char* fieldnames[] = {"samples", "sequence_no", "stamps", "time", "first_sample", "missed"};
  const mwSize one[2] = {1, 1};
  mxArray* result = mxCreateStructArray(2, one, 6, fieldnames);
  mxSetField(result, 0, "samples", samples);
  mxSetField(result, 0, "sequence_no", sequence_no);
  mxSetField(result, 0, "stamps", stamps);
  mxSetField(result, 0, "time", time);
  mxSetField(result, 0, "first_sample",
             taken.count > 0 ? mxCreateDoubleScalar(static_cast<double>(taken.first_samples[0]))
                             : mxCreateDoubleMatrix(0, 0, mxREAL));
  mxSetField(result, 0, "missed", mxCreateDoubleScalar(static_cast<double>(taken.missed)));
  return result;
}

// A field of 'status' as MATLAB shows its kind.
template <typename Value>
mxArray* status_value(const Value& value) {
  constexpr kivo::StatusKind kind = kivo::status_kind_of<Value>();
  if constexpr (kind == kivo::StatusKind::flag) {
    return mxCreateLogicalScalar(value);
  } else if constexpr (kind == kivo::StatusKind::text) {
    return mxCreateString(value.c_str());
  } else {
    return mxCreateDoubleScalar(static_cast<double>(value));
  }
}

// Sequence numbers as given: whole numbers from 0 to 65535.
std::vector<uint16_t> sequence_numbers(const mxArray* array) {
  std::vector<uint16_t> out;
  for (const double value : numeric_values(array)) {
    require(value >= 0 && value <= 65535 && value == std::floor(value),
            "velto: sequence numbers are whole numbers from 0 to 65535");
    out.push_back(static_cast<uint16_t>(value));
  }
  return out;
}

// The line after the start line that names the files the samples go to,
// so that nobody has to look for them; none when no file could be created
// (the lines before said so).
void print_files(const kivo::AcquisitionStatus& status) {
  const std::string& raw = status.raw_file;
  const std::string& filtered = status.filtered_file;
  if (!raw.empty() && !filtered.empty()) {
    mexPrintf("Samples will be saved to %s and filtered samples to %s\n", raw.c_str(), filtered.c_str());
  } else if (!raw.empty()) {
    mexPrintf("Samples will be saved to %s\n", raw.c_str());
  } else if (!filtered.empty()) {
    mexPrintf("Filtered samples will be saved to %s\n", filtered.c_str());
  }
}

}  // namespace

kivo::Acquisition& acquisition() {
  static kivo::Acquisition state(print_to_host);
  return state;
}

void opencmd(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  const kivo::OpenRequest request = open_request(nrhs, prhs);
  const int32_t nsamp = acquisition().open(request);
  print_files(acquisition().status());
  plhs[0] = mxCreateDoubleScalar(nsamp);
}

void readcmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray*[]) {
  require(nrhs == 1 && nlhs == 1, "velto: data = velto('read')");
  kivo::Acquisition& state = acquisition();
  const uint8_t* datagram = state.read();
  plhs[0] =
      datagram ? datagram_struct(datagram, state.samples_per_datagram()) : mxCreateDoubleMatrix(0, 0, mxREAL);
}

void samplescmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  const char* usage = "velto: d = velto('samples') or d = velto('samples', 'native')";
  require(nlhs <= 1 && (nrhs == 1 || nrhs == 2), usage);
  require(nrhs == 1 || (mxIsChar(prhs[1]) && mxArray2String(prhs[1]) == "native"), usage);
  plhs[0] = samples_struct(acquisition(), nrhs == 2);
}

void closecmd(int, mxArray*[], int, const mxArray*[]) { acquisition().close(); }

void versioncmd(int nlhs, mxArray* plhs[], int, const mxArray*[]) {
  mexPrintf("Kivo MEX version %d.%d.%d\n", kVersion[0], kVersion[1], kVersion[2]);
  if (nlhs != 0) {
    const double version[3] = {kVersion[0], kVersion[1], kVersion[2]};
    plhs[0] = double_row(version, 3);
  }
}

void statuscmd(int, mxArray* plhs[], int, const mxArray*[]) {
  const kivo::AcquisitionStatus status = acquisition().status();
  const char* names[kivo::kStatusFieldCount];
  for (size_t i = 0; i < kivo::kStatusFieldCount; ++i) names[i] = kivo::kStatusFields[i].name;
  const mwSize one[2] = {1, 1};
  mxArray* result = mxCreateStructArray(2, one, static_cast<int>(kivo::kStatusFieldCount), names);
  kivo::for_each_status_field(status, [result](const kivo::StatusField& field, const auto& value) {
    mxSetField(result, 0, field.name, status_value(value));
  });
  plhs[0] = result;
}

// velto('mark', value[, text]): the value a whole number from 0, the text
// a character row; the engine checks their ranges and that it runs.
void markcmd(int nlhs, mxArray*[], int nrhs, const mxArray* prhs[]) {
  require(nlhs == 0 && (nrhs == 2 || nrhs == 3), "velto: velto('mark', value) or velto('mark', value, text)");
  const mxArray* value = prhs[1];
  require(is_real_numeric(value) && mxGetNumberOfElements(value) == 1,
          "velto: the mark's value must be one real number");
  const double code = first_numeric_value(value);
  if (!(code >= 0 && code <= static_cast<double>(kivo::kMaxEventValue) && code == std::floor(code))) {
    throw std::runtime_error("velto: the mark's value must be a whole number from 0 to " +
                             std::to_string(kivo::kMaxEventValue));
  }
  std::string text;
  if (nrhs == 3) {
    require(mxIsChar(prhs[2]) && mxGetM(prhs[2]) <= 1, "velto: the mark's text must be a character row");
    text = mxArray2String(prhs[2]);
  }
  acquisition().mark(static_cast<uint64_t>(code), text);
}

}  // namespace velto

namespace velto {

// [timing, first_samples] = velto('fit_sample_clock', nsamp, sequence_no, stamps):
// the sample clock over a file's datagrams in the order received, for
// kivo_read: the metadata's "timing" object as JSON text, and the index of
// every datagram's first sample.
void fitcmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  require(nrhs == 4 && nlhs <= 2,
          "velto: [timing, first_samples] = velto('fit_sample_clock', nsamp, sequence_no, stamps)");
  require(is_real_numeric(prhs[1]) && first_numeric_value(prhs[1]) >= 1, "velto: nsamp must be 1 or more");
  const auto nsamp = static_cast<int32_t>(first_numeric_value(prhs[1]));
  const bool none = mxGetNumberOfElements(prhs[2]) == 0 && mxGetNumberOfElements(prhs[3]) == 0;
  require(none || (is_real_numeric(prhs[2]) && is_real_numeric(prhs[3])),
          "velto: sequence_no and stamps must be real numeric arrays");
  const std::vector<uint16_t> sequences = none ? std::vector<uint16_t>{} : sequence_numbers(prhs[2]);
  const std::vector<double> stamps = none ? std::vector<double>{} : numeric_values(prhs[3]);
  require(sequences.size() == stamps.size(),
          "velto: sequence_no and stamps must have one element per datagram");
  std::vector<int64_t> first_samples(stamps.size());
  const kivo::SampleTiming timing =
      kivo::fit_sample_clock(nsamp, sequences.data(), stamps.data(), stamps.size(), first_samples.data());
  plhs[0] = mxCreateString(kivo::timing_json_text(timing).c_str());
  if (nlhs == 2) {
    const mwSize dims[2] = {static_cast<mwSize>(first_samples.size()), 1};
    plhs[1] = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
    double* out = mxGetPr(plhs[1]);
    for (size_t i = 0; i < first_samples.size(); ++i) out[i] = static_cast<double>(first_samples[i]);
  }
}

}  // namespace velto
