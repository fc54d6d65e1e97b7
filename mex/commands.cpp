#include "commands.h"

#include <stdexcept>
#include <string>

#include "kivo/datagram.h"
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

}  // namespace velto
