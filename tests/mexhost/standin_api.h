// A MEX host of our own for testing velto's MATLAB builds without MATLAB:
// stand-ins for MATLAB's libmx and libmex (DLLs on Windows, shared libraries
// on Linux) that give exactly what the plug-in relies on (real arrays of
// double, char, logical and struct) under exactly MATLAB's names, and the few
// extra entry points that the test host uses to look at results and call the
// plug-in as MATLAB does.
#pragma once

#include "mex.h"

// The build defines these as the platform's export attribute for the
// library being built; its users need none.
#ifndef STANDIN_MX_API
#define STANDIN_MX_API
#endif
#ifndef STANDIN_MEX_API
#define STANDIN_MEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Arrays alive now: every array the plug-in made belongs to the host once
// the call returns, so a host that destroys its results sees this fall back.
STANDIN_MX_API long standin_mx_live_arrays(void);

// Host side of libmex.
typedef void (*standin_mex_function)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
// Calls the plug-in's mexFunction as MATLAB does. Returns 0 when it returned,
// 1 when it ended the call through mexErrMsgTxt (standin_mex_error() then
// holds the message).
STANDIN_MEX_API int standin_mex_call(standin_mex_function function, int nlhs, mxArray* plhs[], int nrhs,
                                     const mxArray* prhs[]);
STANDIN_MEX_API const char* standin_mex_error(void);
// What mexPrintf printed since the last call of this function, cut to fit
// `size`; returns its whole length. With no buffer, only tells the length.
STANDIN_MEX_API size_t standin_mex_take_output(char* buffer, size_t size);
// Runs and forgets the function the plug-in registered with mexAtExit, as
// MATLAB does before it unloads a MEX file.
STANDIN_MEX_API void standin_mex_run_exit_function(void);

#ifdef __cplusplus
}
#endif
