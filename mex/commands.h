// The command handlers of velto. Each has the gateway's signature, gets the
// call's arguments unchanged (prhs[0] is the command word) and reports a
// usage error by throwing std::runtime_error with the whole message; what
// the engine refuses arrives as kivo::AcquisitionError. host thread only.
#pragma once

#include "kivo/acquisition.h"
#include "mex.h"

namespace velto {

using CommandHandler = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

void opencmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void readcmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void samplescmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void closecmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void versioncmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void statuscmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void markcmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void fitcmd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

// The plug-in's one acquisition.
kivo::Acquisition& acquisition();

}  // namespace velto
