// Scalar half-float conversions, the references for the vector kernels.
#include <cstring>

#include "compute/tq_simd.h"

namespace tq {

uint16_t f32ToF16(float x) {
  uint32_t b;
  std::memcpy(&b, &x, 4);
  const uint32_t s = (b >> 16) & 0x8000u;
  const int exp = static_cast<int>((b >> 23) & 0xFF);
  const uint32_t frac = b & 0x7FFFFFu;
  const int e = exp - 112;
  if (e > 30) return static_cast<uint16_t>(s | 0x7C00u);  // also infinities and NaN
  if (e >= 1) {
    uint32_t r = (static_cast<uint32_t>(e) << 10) | (frac >> 13);
    const uint32_t rest = frac & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (frac & 0x2000u))) ++r;  // carry may reach exponent
    return static_cast<uint16_t>(s | r);
  }
  if (e >= -10) {
    const uint32_t m = frac | 0x800000u;
    const int shift = 126 - exp;  // 14..24
    uint32_t r = m >> shift;
    const uint32_t rest = m & ((1u << shift) - 1u);
    const uint32_t half = 1u << (shift - 1);
    if (rest > half || (rest == half && (r & 1u))) ++r;
    return static_cast<uint16_t>(s | r);
  }
  return static_cast<uint16_t>(s);
}

float halfToFloat(uint16_t h) {
  const uint32_t s = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  uint32_t m = h & 0x3FFu;
  uint32_t b;
  if (e == 0x1F) {
    b = s | 0x7F800000u | (m << 13);
  } else if (e != 0) {
    b = s | ((e + 112u) << 23) | (m << 13);
  } else if (m == 0) {
    b = s;
  } else {
    // Subnormal half: normalise into a float exponent.
    int ex = 113;
    while (!(m & 0x400u)) {
      m <<= 1;
      --ex;
    }
    b = s | (static_cast<uint32_t>(ex) << 23) | ((m & 0x3FFu) << 13);
  }
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

void halfToFloat(const uint16_t* in, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = halfToFloat(in[i]);
}

}  // namespace tq
