#include "mx_args.h"

#include <cstdint>
#include <vector>

namespace velto {
namespace {

template <typename T>
std::vector<double> as_doubles(const mxArray* array) {
  const auto* data = static_cast<const T*>(mxGetData(array));
  return std::vector<double>(data, data + mxGetNumberOfElements(array));
}

}  // namespace

std::string mxArray2String(const mxArray* array) {
  const size_t length = static_cast<size_t>(mxGetM(array)) * static_cast<size_t>(mxGetN(array)) + 1;
  std::vector<char> buffer(length, '\0');  // the zero fill keeps it terminated
  mxGetString(array, buffer.data(), static_cast<mwSize>(length));
  // Every character, a NUL among them too: cut there, the text would name
  // something else than the user gave (a folder's parent, say).
  return std::string(buffer.data(), length - 1);
}

bool is_real_numeric(const mxArray* array) {
  return mxIsNumeric(array) && !mxIsComplex(array) && !mxIsSparse(array) && mxGetNumberOfElements(array) > 0;
}

std::vector<double> numeric_values(const mxArray* array) {
  switch (mxGetClassID(array)) {
    case mxDOUBLE_CLASS: return as_doubles<double>(array);
    case mxSINGLE_CLASS: return as_doubles<float>(array);
    case mxINT8_CLASS: return as_doubles<int8_t>(array);
    case mxUINT8_CLASS: return as_doubles<uint8_t>(array);
    case mxINT16_CLASS: return as_doubles<int16_t>(array);
    case mxUINT16_CLASS: return as_doubles<uint16_t>(array);
    case mxINT32_CLASS: return as_doubles<int32_t>(array);
    case mxUINT32_CLASS: return as_doubles<uint32_t>(array);
    case mxINT64_CLASS: return as_doubles<int64_t>(array);
    case mxUINT64_CLASS: return as_doubles<uint64_t>(array);
    default: return {};
  }
}

double first_numeric_value(const mxArray* array) {
  const std::vector<double> values = numeric_values(array);
  return values.empty() ? 0.0 : values.front();
}

}  // namespace velto
