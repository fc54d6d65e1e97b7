// What the host gives the acquisition: where its messages go, and the
// arguments of 'open'.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kivo {

// Prints one message to the user (the gateway passes mexPrintf).
using Console = std::function<void(const std::string&)>;

// The arguments of 'open' after the gateway has checked their classes: the
// values are still as the user gave them.
struct OpenRequest {
  double port = 0;
  double nchans = 0;
  std::string savedir;
  bool with_filter = false;
  std::vector<double> b;  // as many elements as the user gave
  std::vector<double> a;
};

}  // namespace kivo
