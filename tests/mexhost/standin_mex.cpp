// Stand-in for MATLAB's libmex. mexErrMsgTxt ends the plug-in's call as
// MATLAB does, without returning: a jump back to the host's call, set up in
// standin_mex_call. The jump skips the plug-in's frames without unwinding
// them, which is safe because velto calls mexErrMsgTxt only from
// mexFunction itself, after every C++ object of the call has ended.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "standin_api.h"

namespace {

// Host thread only, like every MEX call.
void* g_jump[5];  // __builtin_setjmp's buffer
bool g_in_call = false;
std::string g_error;
std::string g_output;
void (*g_exit_function)(void) = nullptr;

}  // namespace

extern "C" {

STANDIN_MEX_API int mexPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length > 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.pop_back();
    g_output += text;
  }
  va_end(args);
  return length;
}

STANDIN_MEX_API void mexErrMsgTxt(const char* message) {
  g_error = message;
  if (!g_in_call) {
    std::fprintf(stderr, "mexErrMsgTxt outside a call: %s\n", message);
    std::abort();
  }
  __builtin_longjmp(g_jump, 1);
}

STANDIN_MEX_API int mexAtExit(void (*exit_function)(void)) {
  g_exit_function = exit_function;
  return 0;
}

STANDIN_MEX_API int standin_mex_call(standin_mex_function function, int nlhs, mxArray* plhs[], int nrhs,
                                     const mxArray* prhs[]) {
  g_error.clear();
  g_in_call = true;
  if (__builtin_setjmp(g_jump) == 0) {
    function(nlhs, plhs, nrhs, prhs);
    g_in_call = false;
    return 0;
  }
  g_in_call = false;
  return 1;
}

STANDIN_MEX_API const char* standin_mex_error(void) { return g_error.c_str(); }

STANDIN_MEX_API size_t standin_mex_take_output(char* buffer, size_t size) {
  const size_t length = g_output.size();
  if (buffer == nullptr) return length;  // only asks how much there is
  if (size > 0) {
    const size_t copied = length < size - 1 ? length : size - 1;
    std::memcpy(buffer, g_output.data(), copied);
    buffer[copied] = '\0';
  }
  g_output.clear();
  return length;
}

STANDIN_MEX_API void standin_mex_run_exit_function(void) {
  void (*exit_function)(void) = g_exit_function;
  g_exit_function = nullptr;
  if (exit_function != nullptr) exit_function();
}

}  // extern "C"
