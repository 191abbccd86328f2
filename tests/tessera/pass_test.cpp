// The teeth pass against a numpy reference of it, its head against ONNX Runtime
// running the same head built with the onnx package, and its refusals and
// per-frame behaviour through the class and through tq_tessera_run_shift.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>

#include "compute/tq_pool.h"
#include "render/tq_ort.h"
#include "tessera/tq_teeth_pass.h"
#include "tq/tq.h"
#include "tq_test_util.h"

namespace {

using tq::tessera::BankData;
using tq::tessera::FrameResult;
using tq::tessera::TeethPass;

struct RefFrame {
  int index, ok, dy, dx;
  std::vector<int32_t> selection, donors;
};

class TeethPassRef : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir();
    ASSERT_TRUE(tqtest::runFixtureTool({"teeth-pass", dir_->path()}));
    std::istringstream bs(tqtest::readText(*dir_ / "bank.txt"));
    std::vector<double> v;
    for (double x; bs >> x;) v.push_back(x);
    const int n = int(v[0]);
    bank_.n_donors = n;
    bank_.cent.assign(v.begin() + 1, v.begin() + 1 + 2 * n);
    bank_.aperture.assign(v.begin() + 1 + 2 * n, v.begin() + 1 + 3 * n);
    bank_.c_canon = {v[1 + 3 * n], v[2 + 3 * n]};
    for (int i = 0; i < 12; ++i) stamp_[i] = int32_t(v[3 + 3 * n + i]);
    bank_.stamp = tq::GeometryStamp::fromValues(stamp_);
    bank_.patches = tqtest::readBytes(*dir_ / "bank.rgb");
    headPt_ = tqtest::readBytes(*dir_ / "head.pt");
    headJson_ = tqtest::readText(*dir_ / "head.json");
    frames_ = tqtest::readBytes(*dir_ / "frames.rgb");
    masks_ = tqtest::readBytes(*dir_ / "masks.u8");
    shifts_ = tqtest::readAs<int32_t>(*dir_ / "shifts.i32");
    refWin_ = tqtest::readBytes(*dir_ / "ref.rgb");
    std::istringstream rs(tqtest::readText(*dir_ / "ref.txt"));
    for (RefFrame f; rs >> f.index >> f.ok >> f.dy >> f.dx;) {
      int k;
      rs >> k;
      f.selection.resize(k);
      for (auto& d : f.selection) rs >> d;
      rs >> k;
      f.donors.resize(k);
      for (auto& d : f.donors) rs >> d;
      ref_.push_back(f);
    }
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::unique_ptr<TeethPass> makePass(const BankData& bank = bank_) {
    return std::make_unique<TeethPass>(bank, tq::tessera::loadHeadPt(headPt_),
                                       tq::tessera::ServeConfig::fromHeadMemberJson(headJson_));
  }
  static std::size_t px() { return std::size_t(stamp_[0]) * stamp_[1]; }
  static int nFrames() { return int(masks_.size() / px()); }
  // Every emitted result of a run over the fixture frames, with the push/flush return values.
  static std::vector<FrameResult> runAll(TeethPass& pass, std::string* returns = nullptr) {
    std::vector<FrameResult> out;
    FrameResult r;
    for (int i = 0; i < nFrames(); ++i) {
      const int32_t* s = shifts_[2 * i] == -10000 ? nullptr : &shifts_[2 * i];
      const bool e = pass.push(i, &frames_[i * px() * 3], &masks_[i * px()], s, r);
      if (returns) *returns += e ? '1' : '0';
      if (e) out.push_back(r);
    }
    const bool e = pass.flush(r);
    if (e) out.push_back(r);
    if (returns) *returns += std::string(e ? "1" : "0") + (pass.flush(r) ? "1" : "0");
    return out;
  }
  int runShift(const int32_t* stamp, const int32_t* shifts, std::vector<uint8_t>& win, std::vector<uint32_t>& ok,
               char* err, int cap) {
    win.assign(std::size_t(nFrames()) * stamp[4] * stamp[5] * 3, 0xAB);
    ok.assign(nFrames(), 7);
    return tq_tessera_run_shift(bank_.patches.data(), bank_.n_donors, bank_.cent.data(), bank_.c_canon.data(),
                                bank_.aperture.data(), stamp, headPt_.data(), int(headPt_.size()), headJson_.c_str(),
                                frames_.data(), masks_.data(), shifts, nFrames(), win.data(), ok.data(), err, cap);
  }

  static tqtest::TempDir* dir_;
  static BankData bank_;
  static std::array<int32_t, 12> stamp_;
  static std::vector<uint8_t> headPt_, frames_, masks_, refWin_;
  static std::string headJson_;
  static std::vector<int32_t> shifts_;
  static std::vector<RefFrame> ref_;
};
tqtest::TempDir* TeethPassRef::dir_ = nullptr;
BankData TeethPassRef::bank_;
std::array<int32_t, 12> TeethPassRef::stamp_;
std::vector<uint8_t> TeethPassRef::headPt_, TeethPassRef::frames_, TeethPassRef::masks_, TeethPassRef::refWin_;
std::string TeethPassRef::headJson_;
std::vector<int32_t> TeethPassRef::shifts_;
std::vector<RefFrame> TeethPassRef::ref_;

// Frames 3 (empty mask), 5 (shift (20, 0)) and 6 (centroid 9 px off, pad 8) are refused;
// the frames after them are served, and 4 and 7 follow a gap, so the carried selection is ignored.
TEST_F(TeethPassRef, MatchesTheNumpyReference) {
  auto pass = makePass();
  std::string returns;
  const std::vector<FrameResult> got = runAll(*pass, &returns);
  EXPECT_EQ(returns, "0111111110");  // one frame late; the flush emits the last, a second one nothing
  ASSERT_EQ(got.size(), ref_.size());
  const std::size_t wb = pass->windowBytes();
  const char* reasons[] = {"", "", "", "empty-pi", "", "shift-out-of-range", "shift-out-of-range", ""};
  for (std::size_t i = 0; i < got.size(); ++i) {
    const FrameResult& r = got[i];
    const RefFrame& f = ref_[i];
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(r.frameIndex, f.index);
    EXPECT_EQ(!r.refused, bool(f.ok));
    EXPECT_EQ(r.reason, reasons[i]);
    EXPECT_EQ(r.selection, f.selection);
    EXPECT_EQ(r.donors, f.donors);
    EXPECT_EQ(r.candidates, int(f.donors.size()));
    if (!f.ok) {
      EXPECT_TRUE(r.window.empty());
      continue;
    }
    EXPECT_EQ(r.dy * 100 + r.dx, f.dy * 100 + f.dx);
    ASSERT_EQ(r.window.size(), wb);
    int worst = 0;
    for (std::size_t k = 0; k < wb; ++k) worst = std::max(worst, std::abs(int(r.window[k]) - refWin_[i * wb + k]));
    EXPECT_LE(worst, 1);
    // Mask 0 keeps the frame's own bytes exactly.
    const int x0 = stamp_[2], y0 = stamp_[3], ww = stamp_[4];
    int kept = 0;
    for (std::size_t k = 0; k < wb / 3; ++k) {
      const std::size_t c = (y0 + k / ww) * stamp_[0] + x0 + k % ww;
      if (masks_[i * px() + c]) continue;
      ++kept;
      for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(r.window[3 * k + ch], frames_[(i * px() + c) * 3 + ch]);
    }
    EXPECT_GT(kept, 0);
  }
  const std::vector<float> D = tqtest::readAs<float>(*dir_ / "dtable.f32");
  ASSERT_EQ(D.size(), 65536u);
  EXPECT_EQ(std::memcmp(D.data(), TeethPass::dTable(), sizeof(float) * D.size()), 0);
  // The synthesis branch is not evaluated: every counted frame has a zero plane.
  const tq::tessera::SynthStats st = pass->synthStats();
  EXPECT_EQ(st.frames, 5u);
  EXPECT_EQ(st.pixels, 5u * 32 * 48);
  EXPECT_EQ(st.sumMeans + st.max, 0.0);
}

// Run in a child process with one thread: the bytes equal this process's run on several.
TEST_F(TeethPassRef, OneThreadAndSeveralGiveTheSameBytes) {
  auto pass = makePass();
  std::string bytes;
  for (const FrameResult& r : runAll(*pass)) bytes.append(r.window.begin(), r.window.end());
  const char* dump = std::getenv("TQ_TEST_TEETH_DUMP");
  if (dump) {
    std::ofstream(dump, std::ios::binary) << bytes;
    return;
  }
  ASSERT_GE(tq::pool::threads(), 2) << "needs a machine with two cores";
  const std::string out = *dir_ / "one_thread.bin";
  ASSERT_EQ(tqtest::runCommand("TQ_CORE_THREADS=1 TQ_TEST_TEETH_DUMP=" + out + " " + tqtest::selfCommand() +
                               " --gtest_filter=TeethPassRef.OneThreadAndSeveralGiveTheSameBytes >/dev/null"), 0);
  EXPECT_TRUE(tqtest::readText(out) == bytes);
}

TEST_F(TeethPassRef, HeadMatchesOnnxRuntime) {
  auto pass = makePass();
  for (const int n : {5, 9}) {  // a few candidates run layer by layer, more candidate by candidate
    SCOPED_TRACE(n);
    const int H = pass->windowH(), W = pass->windowW();
    const std::size_t plane = std::size_t(H) * W;
    std::vector<float> cands(n * 3 * plane), query(n * 3 * plane);
    uint32_t seed = 12345;
    for (float& v : cands) v = ((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f;
    for (std::size_t k = 0; k < 3 * plane; ++k) query[k] = ((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f;
    for (int i = 1; i < n; ++i) std::copy(query.begin(), query.begin() + 3 * plane, query.begin() + i * 3 * plane);
    std::vector<float> weights((n + 1) * plane, -1.0f), blended(3 * plane);
    pass->headForward(cands.data(), n, query.data(), pass->bandMask().data(), weights.data(), blended.data());

    tq::ortInit();
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    auto session = tq::makeSession(*dir_ / "head.onnx", so);
    const int64_t shape[] = {n, 3, H, W}, bandShape[] = {1, H, W};
    std::unique_ptr<bool[]> band(new bool[plane]);
    for (std::size_t k = 0; k < plane; ++k) band[k] = pass->bandMask()[k] != 0;
    Ort::Value in[] = {Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), cands.data(), cands.size(), shape, 4),
                       Ort::Value::CreateTensor<float>(tq::ortCpuMemory(), query.data(), query.size(), shape, 4),
                       Ort::Value::CreateTensor<bool>(tq::ortCpuMemory(), band.get(), plane, bandShape, 3)};
    const char* inNames[] = {"cands", "query", "band"};
    const char* outNames[] = {"weights", "blended"};
    auto out = session->Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
    const float* ow = out[0].GetTensorData<float>();
    const float* ob = out[1].GetTensorData<float>();
    double worstW = 0, worstB = 0;
    for (std::size_t k = 0; k < n * plane; ++k) worstW = std::max(worstW, double(std::fabs(weights[k] - ow[k])));
    for (std::size_t k = 0; k < 3 * plane; ++k) worstB = std::max(worstB, double(std::fabs(blended[k] - ob[k])));
    EXPECT_LE(worstW, 1e-5);
    EXPECT_LE(worstB, 1e-5);
    for (std::size_t k = n * plane; k < (n + 1) * plane; ++k) ASSERT_EQ(weights[k], 0.0f);
  }
}

TEST_F(TeethPassRef, RunShiftThroughTheCApi) {
  char err[256] = "";
  std::vector<uint8_t> win;
  std::vector<uint32_t> ok;
  // Pad 16 (the stored patch does not depend on it): the centroid 9 px off is now served,
  // the given (20, 0) still refused with a zeroed window.
  std::array<int32_t, 12> s16 = stamp_;
  s16[6] = 16;
  ASSERT_EQ(runShift(s16.data(), shifts_.data(), win, ok, err, sizeof err), 0) << err;
  EXPECT_EQ(ok, (std::vector<uint32_t>{1, 1, 1, 0, 1, 0, 1, 1}));
  const std::size_t wb = win.size() / nFrames();
  EXPECT_EQ(std::count(win.begin() + 5 * wb, win.begin() + 6 * wb, 0), long(wb));
  // Pad 8: the windows equal the reference; -10000 derived frames 0, 1, 4, 7 from their masks.
  ASSERT_EQ(runShift(stamp_.data(), shifts_.data(), win, ok, err, sizeof err), 0) << err;
  EXPECT_EQ(ok, (std::vector<uint32_t>{1, 1, 1, 0, 1, 0, 0, 1}));
  int worst = 0;
  for (std::size_t k = 0; k < win.size(); ++k) worst = std::max(worst, std::abs(int(win[k]) - refWin_[k]));
  EXPECT_LE(worst, 1);

  // Two broken rules in one message, whole and cut to the buffer.
  std::array<int32_t, 12> bad = stamp_;
  bad[2] = -1, bad[7] = -1;
  const std::string twoRules =
      "teeth: GeometryStamp incoherent: window x-range escapes canvas; band rows escape window;";
  EXPECT_EQ(runShift(bad.data(), nullptr, win, ok, err, sizeof err), 1);
  EXPECT_EQ(err, twoRules);
  EXPECT_EQ(runShift(bad.data(), nullptr, win, ok, err, 10), 1);
  EXPECT_EQ(err, twoRules.substr(0, 9));
  EXPECT_EQ(tq_tessera_run(bank_.patches.data(), 0, bank_.cent.data(), bank_.c_canon.data(), bank_.aperture.data(),
                           stamp_.data(), headPt_.data(), int(headPt_.size()), headJson_.c_str(), frames_.data(),
                           masks_.data(), nFrames(), win.data(), ok.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "tq_tessera_run: n_donors <= 0");
  EXPECT_EQ(tq_tessera_run(bank_.patches.data(), 2, bank_.cent.data(), nullptr, bank_.aperture.data(),
                           stamp_.data(), headPt_.data(), int(headPt_.size()), headJson_.c_str(), frames_.data(),
                           masks_.data(), nFrames(), win.data(), ok.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "tq_tessera_run: a required argument is null");
}

// Refusals at construction, each with its whole text.
TEST_F(TeethPassRef, ConstructionRefusals) {
  const auto refusal = [](std::function<void(BankData&, tq::tessera::ServeConfig&)> edit) {
    BankData b = bank_;
    tq::tessera::ServeConfig c = tq::tessera::ServeConfig::fromHeadMemberJson(headJson_);
    edit(b, c);
    return tqtest::thrown([&] { TeethPass(b, tq::tessera::loadHeadPt(headPt_), c); });
  };
  const struct {
    std::function<void(BankData&, tq::tessera::ServeConfig&)> edit;
    const char* text;
  } cases[] = {
      {[](BankData& b, tq::tessera::ServeConfig&) { b.patches.pop_back(); },
       "teeth: reference track is 80639 bytes, the stamp requires 80640 (n * stored_h * stored_w * 3) — a decoder "
       "that delivered a different pixel format would land here"},
      {[](BankData& b, tq::tessera::ServeConfig&) { b.cent.pop_back(); }, "teeth: bank sidecar arrays disagree with n_donors"},
      // Two faults: the patch buffer is checked before the sidecar arrays and the head config.
      {[](BankData& b, tq::tessera::ServeConfig& c) { b.patches.pop_back(), b.cent.pop_back(), c.K = 0; },
       "teeth: reference track is 80639 bytes, the stamp requires 80640 (n * stored_h * stored_w * 3) — a decoder "
       "that delivered a different pixel format would land here"},
      {[](BankData& b, tq::tessera::ServeConfig& c) { b.aperture.clear(), c.kshort = 0; },
       "teeth: bank sidecar arrays disagree with n_donors"},
      {[](BankData&, tq::tessera::ServeConfig& c) { c.K = 0; }, "teeth: head config K=0 must be at least 1"},
      {[](BankData&, tq::tessera::ServeConfig& c) { c.kshort = -3; }, "teeth: head config kshort=-3 must be at least 1"},
      {[](BankData&, tq::tessera::ServeConfig& c) { c.lookahead = -1; }, "teeth: head config lookahead=-1 must be at least 0"},
      {[](BankData&, tq::tessera::ServeConfig& c) { c.K = 5000; }, "teeth: head config K=5000 is over 1024 candidates"},
      {[](BankData& b, tq::tessera::ServeConfig&) { b.stamp.window_w = 1, b.stamp.band_c0 = 0, b.stamp.band_c1 = 1; },
       "teeth: window 1x48 is under 2x2 — the head's half-size plane would be empty"},
      {[](BankData& b, tq::tessera::ServeConfig&) { b.stamp.pad = 1 << 30, b.stamp.shift_margin = 1 << 29; },
       "teeth: stored patch 1073741872x1073741856 is empty or too large"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.edit), c.text);
}

// A given shift within the pad that would move the window off the canvas is refused,
// not read off the frame.
TEST_F(TeethPassRef, ShiftThatLeavesTheCanvasIsRefused) {
  BankData b = bank_;
  b.stamp.window_y0 = 0;
  auto pass = makePass(b);
  FrameResult r;
  const int32_t up[] = {-3, 0}, fine[] = {3, 0};
  pass->push(0, frames_.data(), masks_.data(), up, r);
  pass->push(1, frames_.data(), masks_.data(), fine, r);
  EXPECT_TRUE(r.refused && r.reason == "shift-out-of-range");
  ASSERT_TRUE(pass->flush(r));
  EXPECT_FALSE(r.refused);
}

// A head that yields NaN quantises the blend to 0; mask 0 still keeps the frame.
TEST_F(TeethPassRef, NonFiniteBlendQuantisesToZero) {
  tq::tessera::HeadWeights hw = tq::tessera::loadHeadPt(headPt_);
  hw.cand4_b[0] = NAN;
  TeethPass pass(bank_, hw, tq::tessera::ServeConfig::fromHeadMemberJson(headJson_));
  FrameResult r;
  pass.push(0, frames_.data(), masks_.data(), nullptr, r);
  ASSERT_TRUE(pass.flush(r) && !r.refused);
  int zeroed = 0;
  for (std::size_t k = 0; k < r.window.size() / 3; ++k) {
    const int y = int(k) / stamp_[4], x = int(k) % stamp_[4];
    const std::size_t c = std::size_t(stamp_[3] + y) * stamp_[0] + stamp_[2] + x;
    const bool band = y >= stamp_[7] && y < stamp_[8] && x >= stamp_[9] && x < stamp_[10];
    for (int ch = 0; ch < 3; ++ch) {
      if (masks_[c] == 0) {
        ASSERT_EQ(r.window[3 * k + ch], frames_[3 * c + ch]);
      } else if (masks_[c] == 255 && band) {
        ASSERT_EQ(r.window[3 * k + ch], 0);
        ++zeroed;
      }
    }
  }
  EXPECT_GT(zeroed, 0);
}

// Under 32 teeth-coloured pixels the mask threshold weighs; a later frame keeps 0.6 of it.
TEST_F(TeethPassRef, WeightMapFallsBackToTheMask) {
  auto pass = makePass();
  const std::vector<uint8_t> dark(px() * 3, 20), none(px(), 0);
  pass->retrievePrepare(dark.data(), masks_.data(), 0, 0);
  const std::vector<float> first = pass->weightMap();
  pass->retrievePrepare(dark.data(), none.data(), 0, 0);
  int on = 0;
  for (std::size_t k = 0; k < first.size(); ++k) {
    const std::size_t c = (stamp_[3] + k / stamp_[4]) * stamp_[0] + stamp_[2] + k % stamp_[4];
    on += masks_[c] >= 128;
    ASSERT_EQ(first[k], masks_[c] >= 128 ? 1.0f : 0.0f);
    ASSERT_EQ(pass->weightMap()[k], masks_[c] >= 128 ? 0.6f : 0.0f);
  }
  EXPECT_GT(on, 32);
}

// Selection: equal apertures follow the exact order; when every other donor is out of
// tolerance the best one is repeated K times.
TEST_F(TeethPassRef, SelectionFollowsApertureTolerance) {
  const std::vector<int32_t> order1 = {4, 2, 7, 0, 9, 1, 3, 5, 6, 8, 10, 11};
  const std::vector<float> exact = {0.5f, 0.2f, 0.9f, 0.1f, 0.3f, 0.2f, 0.8f, 0.7f};
  const struct {
    std::vector<double> aperture;
    std::vector<int32_t> selection;
  } cases[] = {
      {std::vector<double>(12, 0.5), {0, 2, 1, 9}},      // exact order 3,1,5,4 of order1 (cut 6)
      {{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048}, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    BankData b = bank_;
    b.aperture = c.aperture;
    auto pass = makePass(b);
    std::vector<int32_t> sel;
    pass->retrieveSelect(order1.data(), exact.data(), sel);
    EXPECT_EQ(sel, c.selection);
  }
  // Ties keep index order (-0 equals 0); NaN sorts last, as numpy's argsort puts it.
  EXPECT_EQ(TeethPass::stableArgsort({0.5f, NAN, 0.2f, 0.5f, -0.0f, 0.0f}), (std::vector<int32_t>{4, 5, 2, 0, 3, 1}));
}

}  // namespace
