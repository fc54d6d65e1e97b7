// Reading the arguments of a velto call from MATLAB's or Octave's arrays.
#pragma once

#include <string>
#include <vector>

#include "mex.h"

namespace velto {

// The text of a char array (the caller has checked that it is one), one
// byte per character, NULs included.
std::string mxArray2String(const mxArray* array);

// True for a full, real, non-empty array of a numeric class (double, single
// or an integer class); logical, char, sparse and complex arrays are not.
bool is_real_numeric(const mxArray* array);

// The elements of a real numeric array as doubles, whatever its class.
std::vector<double> numeric_values(const mxArray* array);
double first_numeric_value(const mxArray* array);

}  // namespace velto
