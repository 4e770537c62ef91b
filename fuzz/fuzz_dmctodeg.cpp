// Angle text to degrees: any bytes, NUL-terminated, through dmctodeg.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "angles/angles.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: a read past the terminator lands outside the block.
  std::vector<char> text(size + 1);
  if (size > 0) std::memcpy(text.data(), data, size);
  text[size] = '\0';
  const double deg = dmctodeg(text.data());
  // Either the failure value or a finite angle within one turn either way.
  FZ_CHECK(deg == static_cast<double>(FLT_MAX) || (std::isfinite(deg) && deg >= -360.0 && deg <= 360.0));
  return 0;
}
