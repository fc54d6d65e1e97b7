// Reading a fuzzer's input bytes as a stream of small values: every read
// succeeds, giving zeros once the bytes run out, so that any input is usable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kivo_fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  uint32_t u32() { return u16() | (uint32_t{u16()} << 16); }
  uint64_t u64() { return u32() | (uint64_t{u32()} << 32); }
  double real() {
    const uint64_t bits = u64();
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  bool empty() const { return pos_ >= size_; }
  // The bytes not read yet.
  const uint8_t* rest() const { return data_ + pos_; }
  size_t rest_size() const { return pos_ < size_ ? size_ - pos_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Stops the fuzzer with a message: a property that must hold did not.
[[noreturn]] void fail(const char* what);

}  // namespace kivo_fuzz
