/* The MEX and mx functions that velto's Windows build calls, declared with
 * the names, types and constants that MATLAB's documentation of its C Matrix
 * and MEX APIs gives: mxArray is opaque, sizes and indices (mwSize, mwIndex)
 * are size_t, mxClassID and mxComplexity have their documented values.
 * MATLAB's own headers are not needed to build the plug-in; a build with
 * MATLAB's mex command uses those instead of this file. */
#ifndef VELTO_WIN_MEX_H
#define VELTO_WIN_MEX_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef bool mxLogical;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS = 1,
  mxSTRUCT_CLASS = 2,
  mxLOGICAL_CLASS = 3,
  mxCHAR_CLASS = 4,
  mxVOID_CLASS = 5,
  mxDOUBLE_CLASS = 6,
  mxSINGLE_CLASS = 7,
  mxINT8_CLASS = 8,
  mxUINT8_CLASS = 9,
  mxINT16_CLASS = 10,
  mxUINT16_CLASS = 11,
  mxINT32_CLASS = 12,
  mxUINT32_CLASS = 13,
  mxINT64_CLASS = 14,
  mxUINT64_CLASS = 15,
  mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

/* libmx */
bool mxIsChar(const mxArray* array);
bool mxIsNumeric(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
int mxGetString(const mxArray* array, char* buffer, mwSize length);
double* mxGetPr(const mxArray* array);
void* mxGetData(const mxArray* array);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity);
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity complexity);
mxArray* mxCreateStructArray(mwSize ndim, const mwSize* dims, int nfields, const char** fieldnames);
mxArray* mxCreateLogicalScalar(mxLogical value);
void mxSetField(mxArray* structure, mwIndex index, const char* fieldname, mxArray* value);

/* libmex */
void mexErrMsgTxt(const char* message);
int mexPrintf(const char* format, ...);
int mexAtExit(void (*exit_function)(void));

/* The plug-in's entry point, which MATLAB calls. */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif

#endif /* VELTO_WIN_MEX_H */
