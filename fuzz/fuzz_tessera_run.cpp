// The exported batch teeth pass over arbitrary arrays. The head weights archive
// follows the separator; everything else comes from the bytes before it:
//   0      donor count: 1..4, or with bit 7 one of 0, -1, 1025, 2
//   1      frame count: 0..3, or -1 with bit 7
//   2      error buffer capacity, 0..47
//   3      flags: bit 0 tq_tessera_run_shift, bit 1 no shifts array, bits 2-4 a
//          required pointer left null (1..7), bit 5 a negative head length,
//          bit 6 no error buffer
//   4-15   the twelve stamp values, signed bytes
//   16-22  config: kshort, aperture_tol * 64, cut, K, hysteresis, lookahead
//          (signed bytes, the counts modulo 9), and its form (0 no temporal
//          block, 1 a foreign envelope, 2 not JSON, else well formed)
//   23-24  canonical centroid, signed bytes
//   then   per donor x, y, aperture * 255; per frame dy, dx (-128: derive)
//   rest   bank, frame and mask bytes, repeated as far as needed
// Checked: the return is 0 or 1; a failure's text ends within the capacity
// and says something; a refused frame leaves a zeroed window; the run
// without shifts equals the shift run with a null shifts array.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "tq/tq.h"

namespace {

class Cursor {
 public:
  Cursor(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  int s8() { return int(int8_t(u8())); }
  // Fills with the bytes not read yet, one array after the other, starting
  // over at their end; zeros when there are none.
  void fill(std::vector<uint8_t>& v) {
    const std::size_t left = size_ - std::min(pos_, size_);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = left ? data_[pos_ + (tail_ + i) % left] : 0;
    tail_ += v.size();
  }

 private:
  const uint8_t* data_;
  std::size_t size_, pos_ = 0, tail_ = 0;
};

std::string configJson(const int v[6], int form) {
  const std::string retrieval = "\"retrieval\": {\"kshort\": " + std::to_string(v[0]) +
                                ", \"aperture_tol\": " + std::to_string(v[1] / 64.0) +
                                ", \"cut\": " + std::to_string(v[2]) + ", \"K\": " + std::to_string(v[3]) + "}";
  const std::string temporal =
      "\"temporal\": {\"hysteresis\": " + std::to_string(v[4]) + ", \"lookahead\": " + std::to_string(v[5]) + "}";
  switch (form) {
    case 0: return "{" + retrieval + "}";
    case 1: return "{" + retrieval + ", " + temporal + ", \"decode\": {\"envelope_clamp_255\": 11}}";
    case 2: return "{" + retrieval + ", " + temporal;
    default: return "{" + retrieval + ", " + temporal + "}";
  }
}

struct Run {
  int rc = -1;
  std::vector<uint8_t> windows;
  std::vector<uint32_t> ok;
  std::vector<char> err;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> seg = tqfuzz::segments(data, size);
  if (seg.size() < 2) return 0;
  const std::string params = seg[0];
  std::string head = seg[1];
  for (std::size_t k = 2; k < seg.size(); ++k) head += "\n@@\n" + seg[k];
  Cursor in(reinterpret_cast<const uint8_t*>(params.data()), params.size());

  const uint8_t nd = in.u8(), nf = in.u8();
  static const int kOddDonors[] = {0, -1, 1025, 2};
  const int nDonors = nd & 0x80 ? kOddDonors[nd & 3] : 1 + nd % 4;
  const int nFrames = nf & 0x80 ? -1 : nf % 4;
  const int errcap = in.u8() % 48;
  const uint8_t flags = in.u8();
  int32_t stamp[12];
  for (int32_t& s : stamp) s = in.s8();
  // Counts stay within -8..8 so that a run's cost follows the window alone.
  int cfg[6];
  for (int k = 0; k < 6; ++k) cfg[k] = k == 1 ? in.s8() : in.s8() % 9;
  const std::string json = configJson(cfg, in.u8() % 8);
  const double cCanon[2] = {double(in.s8()), double(in.s8())};
  // A donor count the run refuses gets arrays of one donor, which it must not read.
  const std::size_t donors = std::size_t(nDonors >= 1 && nDonors <= 4 ? nDonors : 1);
  const std::size_t frames = std::size_t(std::max(nFrames, 0));
  std::vector<double> cent(2 * donors), aperture(donors);
  for (std::size_t d = 0; d < donors; ++d) {
    cent[2 * d] = in.s8(), cent[2 * d + 1] = in.s8();
    aperture[d] = in.u8() / 255.0;
  }
  std::vector<int32_t> shifts(2 * frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const int dy = in.s8(), dx = in.s8();
    shifts[2 * i] = dy == -128 ? -10000 : dy, shifts[2 * i + 1] = dx;
  }

  // Arrays of the sizes the stamp names, each its own allocation.
  const int64_t storedH = int64_t(stamp[8]) - stamp[7] + 2 * int64_t(stamp[11]);
  const int64_t storedW = int64_t(stamp[10]) - stamp[9] + 2 * int64_t(stamp[11]);
  const std::size_t patch = storedH > 0 && storedW > 0 ? std::size_t(storedH * storedW * 3) : 0;
  const std::size_t px = std::size_t(std::max(stamp[0], 0)) * std::size_t(std::max(stamp[1], 0));
  const std::size_t win = std::size_t(std::max(stamp[4], 0)) * std::size_t(std::max(stamp[5], 0)) * 3;
  std::vector<uint8_t> bank(std::max<std::size_t>(patch * donors, 1)), rgb(px * 3 * frames), masks(px * frames);
  in.fill(bank);
  in.fill(rgb);
  in.fill(masks);

  const unsigned nullArg = (flags >> 2) & 7;
  const auto arg = [nullArg](unsigned k, const auto* p) { return nullArg == k ? nullptr : p; };
  const int headLen = flags & 0x20 ? -1 : int(head.size());
  const bool shiftEntry = flags & 1, noShifts = flags & 2, noErr = flags & 0x40;

  const auto run = [&](bool withShift, Run& r) {
    r.windows.assign(win * frames, 0xA5);
    r.ok.assign(frames, 7u);
    r.err.assign(std::size_t(errcap) + 1, '\x7f');  // one byte past the capacity must stay as it is
    char* err = noErr ? nullptr : r.err.data();
    const uint8_t* hp = arg(5, reinterpret_cast<const uint8_t*>(head.data()));
    if (withShift)
      r.rc = tq_tessera_run_shift(arg(1, bank.data()), nDonors, arg(2, cent.data()), arg(3, cCanon),
                                  arg(4, aperture.data()), arg(6, stamp), hp, headLen, arg(7, json.c_str()),
                                  rgb.data(), masks.data(), noShifts ? nullptr : shifts.data(), nFrames,
                                  r.windows.data(), r.ok.data(), err, errcap);
    else
      r.rc = tq_tessera_run(arg(1, bank.data()), nDonors, arg(2, cent.data()), arg(3, cCanon),
                            arg(4, aperture.data()), arg(6, stamp), hp, headLen, arg(7, json.c_str()), rgb.data(),
                            masks.data(), nFrames, r.windows.data(), r.ok.data(), err, errcap);
    if (r.rc != 0 && r.rc != 1) std::abort();
    if (r.err[std::size_t(errcap)] != '\x7f') std::abort();
    if (r.rc == 1 && errcap > 0 && !noErr) {
      // A failure names its reason, cut to the capacity and terminated.
      const char* end = static_cast<const char*>(std::memchr(r.err.data(), 0, std::size_t(errcap)));
      if (!end || (errcap > 1 && end == r.err.data())) std::abort();
    }
    if (r.rc == 0)
      for (std::size_t i = 0; i < frames; ++i) {
        if (r.ok[i] > 1) std::abort();
        if (!r.ok[i] && std::any_of(r.windows.begin() + i * win, r.windows.begin() + (i + 1) * win,
                                    [](uint8_t b) { return b != 0; }))
          std::abort();
      }
  };

  Run a;
  run(shiftEntry, a);
  if (noShifts) {
    Run b;
    run(!shiftEntry, b);
    if (a.rc != b.rc || a.ok != b.ok || a.windows != b.windows) std::abort();
    // The texts agree once the entry point's own name is set aside.
    const auto tail = [](const Run& r) {
      const std::string t(r.err.data(), strnlen(r.err.data(), r.err.size()));
      return t.rfind("tq_tessera_run", 0) == 0 ? std::string() : t;
    };
    if (!noErr && errcap >= 40 && tail(a) != tail(b)) std::abort();
  }
  return 0;
}
