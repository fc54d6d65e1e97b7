/* The MEX and mx functions that velto and its test hosts call, declared with
 * the names, types and constants that MATLAB's documentation of its C Matrix
 * and MEX APIs gives: mxArray is opaque, sizes and indices (mwSize, mwIndex)
 * are size_t, mxClassID and mxComplexity have their documented values.
 *
 * MATLAB's libmx exports every function with a size or index parameter under
 * two suffixed names: NAME_730 takes size_t sizes, NAME_700 32-bit int ones
 * (a plain NAME, where it exists, is the 32-bit variant kept for old MEX
 * files). This header binds each such function to its NAME_730 symbol, as
 * MATLAB's own headers do for a default mex build, so the size_t declared
 * here is what the library reads. Every MATLAB build made without MATLAB's
 * headers uses this file (Windows, Linux, macOS); a build with MATLAB's mex
 * command or FindMatlab uses MATLAB's headers, and the Octave build Octave's. */
#ifndef VELTO_MATLAB_MEX_H
#define VELTO_MATLAB_MEX_H

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

/* libmx, functions with a size or index parameter: the size_t variants. */
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_730
#define mxCreateNumericArray mxCreateNumericArray_730
#define mxCreateStructArray mxCreateStructArray_730
#define mxGetString mxGetString_730
#define mxSetField mxSetField_730
#define mxGetField mxGetField_730
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity);
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity complexity);
mxArray* mxCreateStructArray(mwSize ndim, const mwSize* dims, int nfields, const char** fieldnames);
int mxGetString(const mxArray* array, char* buffer, mwSize length);
void mxSetField(mxArray* structure, mwIndex index, const char* fieldname, mxArray* value);
mxArray* mxGetField(const mxArray* structure, mwIndex index, const char* fieldname);

/* libmx, functions without one: plain names. */
bool mxIsChar(const mxArray* array);
bool mxIsNumeric(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
bool mxIsStruct(const mxArray* array);
bool mxIsLogical(const mxArray* array);
bool mxIsDouble(const mxArray* array);
size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
double* mxGetPr(const mxArray* array);
void* mxGetData(const mxArray* array);
mxLogical* mxGetLogicals(const mxArray* array);
int mxGetNumberOfFields(const mxArray* array);
const char* mxGetFieldNameByNumber(const mxArray* array, int number);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateLogicalScalar(mxLogical value);
mxArray* mxCreateString(const char* text);
void mxDestroyArray(mxArray* array);

/* libmex */
void mexErrMsgTxt(const char* message);
int mexPrintf(const char* format, ...);
int mexAtExit(void (*exit_function)(void));

/* The plug-in's entry point, which MATLAB calls. A build that hides every
 * symbol by default defines VELTO_MEX_ENTRY as its export attribute. */
#ifndef VELTO_MEX_ENTRY
#define VELTO_MEX_ENTRY
#endif
VELTO_MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif

#endif /* VELTO_MATLAB_MEX_H */
