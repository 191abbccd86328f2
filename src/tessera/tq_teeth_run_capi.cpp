// Exported batch run of the teeth pass over frames a host already holds.
#include <cstring>
#include <new>
#include <string>

#include "base/tq_error.h"
#include "tessera/tq_teeth_pass.h"
#include "tq/tq.h"

namespace {

constexpr int32_t kDeriveShift = -10000;

int runBatch(const char* fn, const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
             const double* aperture, const int32_t* stampIn, const uint8_t* headPt, int headPtLen,
             const char* headJson, const uint8_t* framesRgb, const uint8_t* masks, const int32_t* shifts,
             int nFrames, uint8_t* outWindows, uint32_t* outOk, char* err, int errcap) {
  using namespace tq::tessera;
  const auto fail = [&](const std::string& msg) {
    if (err && errcap > 0) tq::fill_err(err, std::size_t(errcap), msg);
    return 1;
  };
  const std::string f(fn);
  if (!bank || !cent || !cCanon || !aperture || !stampIn || !headPt || !headJson)
    return fail(f + ": a required argument is null");
  if (nFrames > 0 && (!framesRgb || !masks || !outWindows || !outOk))
    return fail(f + ": a frame or output array is null");
  if (nDonors <= 0) return fail(f + ": n_donors <= 0");
  if (nDonors > tq::kMaxTesseraDonors) return fail(f + ": n_donors > " + std::to_string(tq::kMaxTesseraDonors));
  if (headPtLen < 0 || nFrames < 0) return fail(f + ": a negative length");
  try {
    std::array<int32_t, tq::GeometryStamp::kCount> sv;
    std::memcpy(sv.data(), stampIn, sizeof sv);
    BankData bd;
    bd.stamp = tq::GeometryStamp::fromValues(sv);
    bd.stamp.validate();
    const tq::GeometryStamp& s = bd.stamp;
    bd.n_donors = nDonors;
    bd.patches.assign(bank, bank + uint64_t(nDonors) * TeethPass::storedPatchBytes(s));
    bd.cent.assign(cent, cent + 2 * std::size_t(nDonors));
    bd.aperture.assign(aperture, aperture + std::size_t(nDonors));
    bd.c_canon = {cCanon[0], cCanon[1]};
    const ServeConfig cfg = ServeConfig::fromHeadMemberJson(headJson);
    HeadWeights hw = loadHeadPt(headPt, std::size_t(headPtLen));
    TeethPass pass(std::move(bd), std::move(hw), cfg);

    const std::size_t px = std::size_t(uint32_t(s.canvas_w)) * uint32_t(s.canvas_h);
    const std::size_t win = pass.windowBytes();
    int emitted = 0;
    FrameResult r;
    const auto record = [&] {
      uint8_t* dst = outWindows + std::size_t(emitted) * win;
      const bool ok = !r.refused && r.window.size() == win;
      // A refused frame has no window: its slot is zeroed.
      if (ok) std::memcpy(dst, r.window.data(), win);
      else std::memset(dst, 0, win);
      outOk[emitted++] = ok ? 1u : 0u;
    };
    for (int i = 0; i < nFrames; ++i) {
      const int32_t* shift = shifts && shifts[2 * i] != kDeriveShift ? shifts + 2 * i : nullptr;
      if (pass.push(i, framesRgb + std::size_t(i) * px * 3, masks + std::size_t(i) * px, shift, r)) record();
    }
    if (pass.flush(r)) record();
    if (emitted < nFrames)
      return fail("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(nFrames) + " frames");
    return 0;
  } catch (const std::exception& e) {  // an allocation failure too: its own message, as every other
    return fail(e.what());
  } catch (...) {
    return fail("teeth: unknown failure");
  }
}

}  // namespace

extern "C" {

int tq_tessera_run_shift(const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
                         const double* aperture, const int32_t* stamp, const uint8_t* headPt, int headPtLen,
                         const char* headJson, const uint8_t* framesRgb, const uint8_t* masks,
                         const int32_t* shifts, int nFrames, uint8_t* outWindows, uint32_t* outOk, char* err,
                         int errcap) {
  return runBatch("tq_tessera_run_shift", bank, nDonors, cent, cCanon, aperture, stamp, headPt, headPtLen,
                  headJson, framesRgb, masks, shifts, nFrames, outWindows, outOk, err, errcap);
}

int tq_tessera_run(const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
                   const double* aperture, const int32_t* stamp, const uint8_t* headPt, int headPtLen,
                   const char* headJson, const uint8_t* framesRgb, const uint8_t* masks, int nFrames,
                   uint8_t* outWindows, uint32_t* outOk, char* err, int errcap) {
  return runBatch("tq_tessera_run", bank, nDonors, cent, cCanon, aperture, stamp, headPt, headPtLen, headJson,
                  framesRgb, masks, nullptr, nFrames, outWindows, outOk, err, errcap);
}

}  // extern "C"
