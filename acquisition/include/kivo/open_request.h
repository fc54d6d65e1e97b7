// What the host gives 'open': the arguments after the gateway has checked
// their classes.
#pragma once

#include <string>
#include <vector>

namespace kivo {

// The values are still as the user gave them.
struct OpenRequest {
  double port = 0;
  double nchans = 0;
  std::string savedir;
  bool with_filter = false;
  std::vector<double> b;  // as many elements as the user gave
  std::vector<double> a;
};

}  // namespace kivo
