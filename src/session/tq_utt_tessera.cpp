// The exported teeth-borrow functions of a session: attach a StreamBorrow as the
// session's teeth stage, and the three queries about it.
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "base/tq_error.h"
#include "session/tq_utt_session.h"
#include "tessera/tq_tessera_stream.h"
#include "tq/tq.h"

namespace {

using tq::tessera::FrameResult;
using tq::tessera::StreamBorrow;

// The borrow as the session's teeth stage: one result, reused every frame.
class BorrowStage final : public tq::utt::TeethStage {
 public:
  explicit BorrowStage(std::unique_ptr<StreamBorrow> b) : b_(std::move(b)) {}
  bool push(const float* crop, const float* kp) override { return b_->push(crop, kp, result_); }
  bool flush() override { return b_->flush(result_); }
  bool refused() const override { return result_.refused; }
  std::string message() const override { return result_.reason; }
  void writeWindow(float* crop, int canvas) override {
    StreamBorrow::writeWindowDelta(crop, canvas, result_, b_->stamp());
  }
  bool synth(double& sumMeans, double& max, uint64_t& frames) const override {
    const tq::tessera::SynthStats s = b_->synthStats();
    sumMeans = s.sumMeans;
    max = s.max;
    frames = s.frames;
    return s.frames > 0;
  }

 private:
  std::unique_ptr<StreamBorrow> b_;
  FrameResult result_;
};

constexpr const char* kFn = "tq_utt_tessera_attach";

int attach(tq_utt* u, const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
           const double* aperture, const int32_t* stampIn, const uint8_t* headPt, int headPtLen,
           const char* headJson, const char* manifestJson, char* err, int errcap) {
  const auto fail = [&](const std::string& msg) {
    if (err && errcap > 0) tq::fill_err(err, static_cast<std::size_t>(errcap), msg);
    return 1;
  };
  const std::string fn(kFn);
  if (!u) return fail(fn + ": null session");
  if (!bank || !cent || !cCanon || !aperture || !stampIn || !headPt || !headJson || !manifestJson)
    return fail(fn + ": a required member is null — this ABI has no partial-attach state");
  if (nDonors <= 0) return fail(fn + ": n_donors <= 0");
  if (nDonors > tq::kMaxTesseraDonors) return fail(fn + ": n_donors > " + std::to_string(tq::kMaxTesseraDonors));
  if (headPtLen < 0) return fail(fn + ": a negative length");
  try {
    std::array<int32_t, tq::GeometryStamp::kCount> values;
    std::memcpy(values.data(), stampIn, sizeof values);
    tq::tessera::BankData bd;
    bd.stamp = tq::GeometryStamp::fromValues(values);
    bd.stamp.validate();
    const tq::GeometryStamp& s = bd.stamp;
    if (s.canvas_w != s.canvas_h || s.canvas_w != u->crop)
      return fail(fn + ": bank canvas " + std::to_string(s.canvas_w) + "x" + std::to_string(s.canvas_h) +
                  " != this bundle's render crop " + std::to_string(u->crop));
    bd.n_donors = nDonors;
    bd.patches.assign(bank, bank + uint64_t(nDonors) * tq::tessera::TeethPass::storedPatchBytes(s));
    bd.cent.assign(cent, cent + 2 * static_cast<std::size_t>(nDonors));
    bd.aperture.assign(aperture, aperture + static_cast<std::size_t>(nDonors));
    bd.c_canon = {cCanon[0], cCanon[1]};
    const tq::tessera::ServeConfig cfg = tq::tessera::ServeConfig::fromHeadMemberJson(headJson);
    tq::tessera::HeadWeights hw = tq::tessera::loadHeadPt(headPt, static_cast<std::size_t>(headPtLen));
    if (u->NT < 1 || u->xsTarget.size() != static_cast<std::size_t>(u->NT) * tq::utt::kKp)
      return fail(fn + ": xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be "
                       "identified — refusing to arm the borrow against the manifest's compose-field geometry");
    std::string ranking;
    tq::tessera::UnifiedPi pi = tq::tessera::UnifiedPi::corpusFromManifestJson(
        manifestJson, s.canvas_w, u->xsTarget.data(), u->NT, cCanon, &ranking);
    auto borrow = std::make_unique<StreamBorrow>(std::move(bd), std::move(hw), cfg, std::move(pi),
                                                 u->ctx->manifest.lipTemplate);
    tq::utt::attachTeeth(u, std::make_shared<BorrowStage>(std::move(borrow)), u->opt.pipelinedPaste,
                         std::move(ranking));
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(fn + ": out of memory");
  } catch (const std::exception& e) {
    return fail(fn + ": " + e.what());
  } catch (...) {
    return fail(fn + ": unknown failure");
  }
}

}  // namespace

extern "C" {

int tq_utt_tessera_attach(tq_utt* u, const uint8_t* bank, int nDonors, const double* cent, const double* cCanon,
                          const double* aperture, const int32_t* stamp, const uint8_t* headPt, int headPtLen,
                          const char* headJson, const char* manifestJson, char* err, int errcap) {
  return attach(u, bank, nDonors, cent, cCanon, aperture, stamp, headPt, headPtLen, headJson, manifestJson, err,
                errcap);
}

int tq_utt_tessera_stats(tq_utt* u, uint64_t* borrowed, uint64_t* refused, char* msg, int msgcap) {
  if (!u) return 0;
  std::lock_guard<std::mutex> lk(u->mu);
  const tq::utt::TeethState& t = u->teeth;
  if (!t.stage) return 0;
  if (borrowed) *borrowed = t.composed;
  if (refused) *refused = t.refused;
  if (msg && msgcap > 0) tq::fill_err(msg, static_cast<std::size_t>(msgcap), t.message);
  return t.failed ? -1 : 1;
}

int tq_utt_tessera_geometry(tq_utt* u, char* dst, int cap) {
  if (!u || !dst || cap < 1) return 0;
  std::lock_guard<std::mutex> lk(u->mu);
  const tq::utt::TeethState& t = u->teeth;
  if (!t.stage) {
    dst[0] = '\0';
    return 0;
  }
  tq::fill_err(dst, static_cast<std::size_t>(cap), t.ranking);
  return 1;
}

int tq_utt_tessera_synth_w(tq_utt* u, double* mean, double* max, uint64_t* frames) {
  if (!u) return 0;
  std::shared_ptr<tq::utt::TeethStage> st;
  {
    std::lock_guard<std::mutex> lk(u->mu);
    st = u->teeth.stage;
  }
  double sum = 0.0, mx = 0.0;
  uint64_t n = 0;
  // The pass keeps its statistics under its own lock, written as it emits.
  if (!st || !st->synth(sum, mx, n)) return 0;
  if (mean) *mean = sum / static_cast<double>(n);
  if (max) *max = mx;
  if (frames) *frames = n;
  return 1;
}

}  // extern "C"
