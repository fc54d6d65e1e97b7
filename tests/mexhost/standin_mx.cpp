// Stand-in for MATLAB's libmx: real arrays of double (and the other numeric
// classes), char, logical and struct, column-major like MATLAB's. Like
// MATLAB's, it exports each function with a size or index parameter only as
// NAME_730 (size_t; what mex.h binds) and NAME_700 (32-bit int), so a plug-in
// that asks for a plain name of one fails to load, and one that passes the
// wrong size type gets a wrong shape.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "standin_api.h"

struct mxArray_tag {
  mxClassID class_id = mxDOUBLE_CLASS;
  bool complex = false;
  std::vector<size_t> dims{0, 0};
  std::vector<uint8_t> bytes;  // the elements; char arrays hold UTF-16 code units
  std::vector<std::string> field_names;
  std::vector<mxArray*> fields;  // field f of element i at i * nfields + f
};

namespace {

std::atomic<long> g_live{0};

size_t element_size(mxClassID id) {
  switch (id) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS: return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS: return 4;
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxCHAR_CLASS: return 2;
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxLOGICAL_CLASS: return 1;
    default: return 0;
  }
}

size_t from_int(int size) { return size < 0 ? 0 : static_cast<size_t>(size); }

std::vector<size_t> from_ints(int ndim, const int* dims) {
  std::vector<size_t> sizes;
  for (int d = 0; d < ndim; ++d) sizes.push_back(from_int(dims[d]));
  return sizes;
}

size_t count_of(const std::vector<size_t>& dims) {
  size_t n = 1;
  for (size_t d : dims) n *= d;
  return n;
}

mxArray* make(mxClassID id, mwSize ndim, const mwSize* dims) {
  auto* array = new mxArray_tag;
  array->class_id = id;
  array->dims.assign(dims, dims + ndim);
  while (array->dims.size() < 2) array->dims.push_back(1);
  array->bytes.assign(count_of(array->dims) * element_size(id), 0);
  ++g_live;
  return array;
}

bool is_numeric(mxClassID id) { return id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS; }

int field_number(const mxArray* array, const char* name) {
  for (size_t f = 0; f < array->field_names.size(); ++f) {
    if (array->field_names[f] == name) return static_cast<int>(f);
  }
  return -1;
}

}  // namespace

extern "C" {

STANDIN_MX_API bool mxIsChar(const mxArray* array) { return array->class_id == mxCHAR_CLASS; }
STANDIN_MX_API bool mxIsNumeric(const mxArray* array) { return is_numeric(array->class_id); }
STANDIN_MX_API bool mxIsComplex(const mxArray* array) { return array->complex; }
STANDIN_MX_API bool mxIsSparse(const mxArray*) { return false; }
STANDIN_MX_API bool mxIsStruct(const mxArray* array) { return array->class_id == mxSTRUCT_CLASS; }
STANDIN_MX_API bool mxIsLogical(const mxArray* array) { return array->class_id == mxLOGICAL_CLASS; }
STANDIN_MX_API bool mxIsDouble(const mxArray* array) { return array->class_id == mxDOUBLE_CLASS; }
STANDIN_MX_API size_t mxGetM(const mxArray* array) { return array->dims[0]; }
// Columns: the product of every dimension after the first.
STANDIN_MX_API size_t mxGetN(const mxArray* array) {
  return count_of(std::vector<size_t>(array->dims.begin() + 1, array->dims.end()));
}
STANDIN_MX_API size_t mxGetNumberOfElements(const mxArray* array) { return count_of(array->dims); }
STANDIN_MX_API mxClassID mxGetClassID(const mxArray* array) { return array->class_id; }

STANDIN_MX_API int mxGetString(const mxArray* array, char* buffer, mwSize length) {
  if (array->class_id != mxCHAR_CLASS || length == 0) return 1;
  const size_t chars = count_of(array->dims);
  const auto* units = reinterpret_cast<const char16_t*>(array->bytes.data());
  size_t i = 0;
  for (; i < chars && i + 1 < length; ++i) buffer[i] = units[i] < 128 ? static_cast<char>(units[i]) : '?';
  buffer[i] = '\0';
  return i == chars ? 0 : 1;
}

STANDIN_MX_API double* mxGetPr(const mxArray* array) {
  return array->class_id == mxDOUBLE_CLASS
             ? reinterpret_cast<double*>(const_cast<uint8_t*>(array->bytes.data()))
             : nullptr;
}

STANDIN_MX_API void* mxGetData(const mxArray* array) { return const_cast<uint8_t*>(array->bytes.data()); }

STANDIN_MX_API mxLogical* mxGetLogicals(const mxArray* array) {
  return array->class_id == mxLOGICAL_CLASS
             ? reinterpret_cast<mxLogical*>(const_cast<uint8_t*>(array->bytes.data()))
             : nullptr;
}

STANDIN_MX_API mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid,
                                             mxComplexity complexity) {
  if (!is_numeric(classid)) return nullptr;
  mxArray* array = make(classid, ndim, dims);
  array->complex = complexity == mxCOMPLEX;
  return array;
}

STANDIN_MX_API mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity) {
  const mwSize dims[2] = {m, n};
  return mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, complexity);
}

STANDIN_MX_API mxArray* mxCreateDoubleScalar(double value) {
  mxArray* array = mxCreateDoubleMatrix(1, 1, mxREAL);
  std::memcpy(array->bytes.data(), &value, sizeof value);
  return array;
}

STANDIN_MX_API mxArray* mxCreateLogicalScalar(mxLogical value) {
  const mwSize dims[2] = {1, 1};
  mxArray* array = make(mxLOGICAL_CLASS, 2, dims);
  array->bytes[0] = value ? 1 : 0;
  return array;
}

STANDIN_MX_API mxArray* mxCreateString(const char* text) {
  const size_t length = std::strlen(text);
  const mwSize dims[2] = {length == 0 ? 0U : 1U, length};
  mxArray* array = make(mxCHAR_CLASS, 2, dims);
  auto* units = reinterpret_cast<char16_t*>(array->bytes.data());
  for (size_t i = 0; i < length; ++i) units[i] = static_cast<unsigned char>(text[i]);
  return array;
}

STANDIN_MX_API mxArray* mxCreateStructArray(mwSize ndim, const mwSize* dims, int nfields,
                                            const char** fieldnames) {
  mxArray* array = make(mxSTRUCT_CLASS, ndim, dims);
  for (int f = 0; f < nfields; ++f) array->field_names.emplace_back(fieldnames[f]);
  array->fields.assign(count_of(array->dims) * static_cast<size_t>(nfields), nullptr);
  return array;
}

// The structure takes the array; a value it held before stays with the caller.
STANDIN_MX_API void mxSetField(mxArray* structure, mwIndex index, const char* fieldname, mxArray* value) {
  const int f = field_number(structure, fieldname);
  if (f < 0 || index >= count_of(structure->dims)) return;
  structure->fields[index * structure->field_names.size() + static_cast<size_t>(f)] = value;
}

STANDIN_MX_API mxArray* mxGetField(const mxArray* structure, mwIndex index, const char* name) {
  const int f = field_number(structure, name);
  if (f < 0 || index >= count_of(structure->dims)) return nullptr;
  return structure->fields[index * structure->field_names.size() + static_cast<size_t>(f)];
}

STANDIN_MX_API int mxGetNumberOfFields(const mxArray* array) {
  return static_cast<int>(array->field_names.size());
}

STANDIN_MX_API const char* mxGetFieldNameByNumber(const mxArray* array, int number) {
  if (number < 0 || static_cast<size_t>(number) >= array->field_names.size()) return nullptr;
  return array->field_names[static_cast<size_t>(number)].c_str();
}

STANDIN_MX_API void mxDestroyArray(mxArray* array) {
  if (array == nullptr) return;
  for (mxArray* field : array->fields) mxDestroyArray(field);
  delete array;
  --g_live;
}

// The 32-bit variants that MATLAB keeps beside the size_t ones.
STANDIN_MX_API mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity complexity) {
  return mxCreateDoubleMatrix(from_int(m), from_int(n), complexity);
}
STANDIN_MX_API mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                                 mxComplexity complexity) {
  const std::vector<size_t> sizes = from_ints(ndim, dims);
  return mxCreateNumericArray(sizes.size(), sizes.data(), classid, complexity);
}
STANDIN_MX_API mxArray* mxCreateStructArray_700(int ndim, const int* dims, int nfields,
                                                const char** fieldnames) {
  const std::vector<size_t> sizes = from_ints(ndim, dims);
  return mxCreateStructArray(sizes.size(), sizes.data(), nfields, fieldnames);
}
STANDIN_MX_API int mxGetString_700(const mxArray* array, char* buffer, int length) {
  return mxGetString(array, buffer, from_int(length));
}
STANDIN_MX_API void mxSetField_700(mxArray* structure, int index, const char* fieldname, mxArray* value) {
  mxSetField(structure, from_int(index), fieldname, value);
}
STANDIN_MX_API mxArray* mxGetField_700(const mxArray* structure, int index, const char* name) {
  return mxGetField(structure, from_int(index), name);
}

STANDIN_MX_API long standin_mx_live_arrays(void) { return g_live.load(); }

}  // extern "C"
