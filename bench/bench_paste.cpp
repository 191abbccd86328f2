// Paste compositor: a 512 crop sharpened and pasted into a 1920x1080 frame
// (scale 1.2, a small rotation), with 1 and 2 pool threads, against
//  - OpenCV (when built with it): GaussianBlur unsharp, warpAffine INTER_LANCZOS4
//    of the crop and INTER_LINEAR of the mask into the paste rectangle, and an
//    alpha blend (blendLinear), with OpenCV limited to the same thread count;
//  - a plain scalar implementation of the same composite on one thread.
//
// The pool's thread count is fixed once per process (TQ_CORE_THREADS), so each
// thread count runs in a child process of this binary. --quick (the smoke run)
// measures once, in process, with the pool's own count.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "compute/tq_pool.h"
#include "compute/tq_simd.h"
#include "paste/tq_paste.h"

#ifdef TQ_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;
const tq::Unsharp kUnsharp{1.3f, 2.0f, 13};

struct Scene {
  std::vector<float> crop;  // planar R, G, B in 0..1
  std::vector<uint8_t> mask, frame;
  float M[6];
};

Scene makeScene() {
  Scene s;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  s.crop.resize(3 * kSide * kSide);
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < kSide; ++v)
      for (int u = 0; u < kSide; ++u) {
        const float base = 0.5f + 0.4f * std::sin(0.03f * u * (c + 1)) * std::cos(0.021f * v);
        s.crop[(c * kSide + v) * kSide + u] = base + noise(rng);
      }
  s.mask.resize(kSide * kSide);
  const double mid = (kSide - 1) * 0.5;
  for (int v = 0; v < kSide; ++v)
    for (int u = 0; u < kSide; ++u) {
      const double r = std::hypot(u - mid, v - mid) / (kSide * 0.5);
      const double w = (1.0 - r) * 4.0 * 255.0;
      s.mask[v * kSide + u] = static_cast<uint8_t>(w < 0 ? 0 : (w > 255 ? 255 : w));
    }
  s.frame.resize(static_cast<size_t>(kW) * kH * 3);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      for (int c = 0; c < 3; ++c) s.frame[(static_cast<size_t>(y) * kW + x) * 3 + c] = static_cast<uint8_t>((x + 2 * y + 50 * c) & 255);
  const float sc = 1.2f, ang = 0.06f, h = kSide * 0.5f;
  const float a = sc * std::cos(ang), b = -sc * std::sin(ang), c = sc * std::sin(ang), d = sc * std::cos(ang);
  const float cx = 960.0f, cy = 480.0f;
  const float M[6] = {a, b, cx - (a * h + b * h), c, d, cy - (c * h + d * h)};
  std::memcpy(s.M, M, sizeof M);
  return s;
}

// ------------------------------------------------------------ plain scalar composite

struct Plain {
  std::vector<float> gauss, planes[3], tmp;
  float lz[32][8];
  float bl[32][2];

  Plain() {
    const int k = kUnsharp.ksize;
    std::vector<double> g(k);
    double s = 0;
    for (int i = 0; i < k; ++i) {
      const double x = i - (k - 1) * 0.5;
      s += g[i] = std::exp(-x * x / (2.0 * kUnsharp.sigma * kUnsharp.sigma));
    }
    for (double v : g) gauss.push_back(static_cast<float>(v / s));
    for (int p = 0; p < 32; ++p) {
      const double t = p / 32.0;
      bl[p][0] = static_cast<float>(1 - t);
      bl[p][1] = static_cast<float>(t);
      double w[8], sum = 0;
      for (int j = 0; j < 8; ++j) {
        const double x = t + 3 - j;
        w[j] = x == 0 ? 1.0 : (std::sin(M_PI * x) / (M_PI * x)) * (std::sin(M_PI * x / 4) / (M_PI * x / 4));
        sum += w[j];
      }
      for (int j = 0; j < 8; ++j) lz[p][j] = static_cast<float>(w[j] / sum);
    }
    for (auto& p : planes) p.resize(kSide * kSide);
    tmp.resize(kSide * kSide);
  }

  static int refl(int i) {
    i = std::abs(i);
    return i < kSide ? i : 2 * (kSide - 1) - i;
  }

  void composite(const Scene& s, uint8_t* frame) {
    const int k = static_cast<int>(gauss.size()), h = k / 2;
    for (int c = 0; c < 3; ++c) {
      float* p = planes[c].data();
      for (int i = 0; i < kSide * kSide; ++i) p[i] = s.crop[c * kSide * kSide + i] * 255.0f;
      for (int v = 0; v < kSide; ++v)
        for (int u = 0; u < kSide; ++u) {
          float acc = 0;
          for (int j = 0; j < k; ++j) acc += gauss[j] * p[v * kSide + refl(u - h + j)];
          tmp[v * kSide + u] = acc;
        }
      for (int v = 0; v < kSide; ++v)
        for (int u = 0; u < kSide; ++u) {
          float acc = 0;
          for (int j = 0; j < k; ++j) acc += gauss[j] * tmp[refl(v - h + j) * kSide + u];
          const float o = (1 + kUnsharp.amount) * p[v * kSide + u] - kUnsharp.amount * acc;
          p[v * kSide + u] = o < 0 ? 0 : (o > 255 ? 255 : o);
        }
    }
    const double a = s.M[0], b = s.M[1], tx = s.M[2], c = s.M[3], d = s.M[4], ty = s.M[5];
    const double det = a * d - b * c;
    double xs[4], ys[4];
    const double cu[4] = {-4, kSide + 3.0, -4, kSide + 3.0}, cv[4] = {-4, -4, kSide + 3.0, kSide + 3.0};
    for (int i = 0; i < 4; ++i) {
      xs[i] = a * cu[i] + b * cv[i] + tx;
      ys[i] = c * cu[i] + d * cv[i] + ty;
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(*std::min_element(xs, xs + 4))));
    const int x1 = std::min(kW - 1, static_cast<int>(std::ceil(*std::max_element(xs, xs + 4))));
    const int y0 = std::max(0, static_cast<int>(std::floor(*std::min_element(ys, ys + 4))));
    const int y1 = std::min(kH - 1, static_cast<int>(std::ceil(*std::max_element(ys, ys + 4))));
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const double u = (d * (x - tx) - b * (y - ty)) / det, v = (-c * (x - tx) + a * (y - ty)) / det;
        const int U = static_cast<int>(std::lrint(u * 1024)) + 16, V = static_cast<int>(std::lrint(v * 1024)) + 16;
        const int ui = U >> 10, vi = V >> 10, pu = (U >> 5) & 31, pv = (V >> 5) & 31;
        if (ui < -1 || ui > kSide - 1 || vi < -1 || vi > kSide - 1) continue;
        float m = 0;
        for (int j = 0; j < 2; ++j)
          for (int i = 0; i < 2; ++i) {
            const int mu = ui + i, mv = vi + j;
            if (mu >= 0 && mu < kSide && mv >= 0 && mv < kSide) m += bl[pv][j] * bl[pu][i] * s.mask[mv * kSide + mu];
          }
        const float alpha = std::rint(m) / 255.0f;
        if (alpha <= 0) continue;
        for (int ch = 0; ch < 3; ++ch) {
          float acc = 0;
          for (int j = 0; j < 8; ++j) {
            const int sv = vi - 3 + j;
            if (sv < 0 || sv >= kSide) continue;
            float r = 0;
            for (int i = 0; i < 8; ++i) {
              const int su = ui - 3 + i;
              if (su >= 0 && su < kSide) r += lz[pu][i] * planes[ch][sv * kSide + su];
            }
            acc += lz[pv][j] * r;
          }
          uint8_t& f = frame[(static_cast<size_t>(y) * kW + x) * 3 + ch];
          const float o = f * (1 - alpha) + acc * alpha;
          f = static_cast<uint8_t>(o < 0 ? 0 : (o > 255 ? 255 : o));
        }
      }
  }
};

#ifdef TQ_BENCH_OPENCV
// ------------------------------------------------------------ OpenCV composite

struct OpenCv {
  cv::Mat src, blurred, sharp, warped, warped8, maskW, alpha, inv, maskMat;

  explicit OpenCv(const Scene& s) : maskMat(kSide, kSide, CV_8UC1, const_cast<uint8_t*>(s.mask.data())) {}

  void composite(const Scene& s, uint8_t* frame) {
    std::vector<cv::Mat> ch;
    for (int c = 0; c < 3; ++c)
      ch.emplace_back(kSide, kSide, CV_32FC1, const_cast<float*>(s.crop.data() + c * kSide * kSide));
    cv::merge(ch, src);
    src *= 255.0;
    cv::GaussianBlur(src, blurred, cv::Size(kUnsharp.ksize, kUnsharp.ksize), kUnsharp.sigma, kUnsharp.sigma,
                     cv::BORDER_REFLECT_101);
    cv::addWeighted(src, 1.0 + kUnsharp.amount, blurred, -kUnsharp.amount, 0.0, sharp);
    cv::max(sharp, 0.0, sharp);
    cv::min(sharp, 255.0, sharp);
    // The same paste rectangle as the compositor.
    float xs[4], ys[4];
    const float cu[4] = {-4, kSide + 3.0f, -4, kSide + 3.0f}, cv_[4] = {-4, -4, kSide + 3.0f, kSide + 3.0f};
    for (int i = 0; i < 4; ++i) {
      xs[i] = s.M[0] * cu[i] + s.M[1] * cv_[i] + s.M[2];
      ys[i] = s.M[3] * cu[i] + s.M[4] * cv_[i] + s.M[5];
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(*std::min_element(xs, xs + 4))));
    const int x1 = std::min(kW - 1, static_cast<int>(std::ceil(*std::max_element(xs, xs + 4))));
    const int y0 = std::max(0, static_cast<int>(std::floor(*std::min_element(ys, ys + 4))));
    const int y1 = std::min(kH - 1, static_cast<int>(std::ceil(*std::max_element(ys, ys + 4))));
    const cv::Size roiSize(x1 - x0 + 1, y1 - y0 + 1);
    const cv::Matx23d M(s.M[0], s.M[1], s.M[2] - x0, s.M[3], s.M[4], s.M[5] - y0);
    cv::warpAffine(sharp, warped, M, roiSize, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(maskMat, maskW, M, roiSize, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    warped.convertTo(warped8, CV_8UC3);
    maskW.convertTo(alpha, CV_32FC1, 1.0 / 255.0);
    cv::subtract(cv::Scalar(1.0), alpha, inv);
    cv::Mat full(kH, kW, CV_8UC3, frame);
    cv::Mat roi = full(cv::Rect(x0, y0, roiSize.width, roiSize.height));
    cv::blendLinear(warped8, roi, alpha, inv, roi);
  }
};
#endif

int child(bool quick) {
  const int threads = tq::pool::threads();
  const int reps = quick ? 1 : 12, inner = quick ? 1 : 4;
  Scene s = makeScene();
  tq::Paste paste(s.mask, kSide, kUnsharp);
  std::vector<uint8_t> frame = s.frame;
  paste.composite(s.crop.data(), 255.0f, s.M, frame.data(), kW, kH);  // warm-up: pool, dispatch, log line
  const double ours = tqbench::bestSeconds(
      [&] { paste.composite(s.crop.data(), 255.0f, s.M, frame.data(), kW, kH); }, reps, inner);
  const double sharpen = tqbench::bestSeconds(
      [&] {
        paste.fillPlanes(s.crop.data(), 255.0f);
        for (auto& pl : paste.planes) paste.unsharpPlane(pl);
      },
      reps, inner);
  std::printf("threads %d, vector target %s\n", threads, tq::simd::target());
  std::printf("  Paste::composite 512 -> 1920x1080          %8.3f ms/frame (sharpen %.3f ms, resample+blend %.3f ms)\n",
              ours * 1e3, sharpen * 1e3, (ours - sharpen) * 1e3);
#ifdef TQ_BENCH_OPENCV
  cv::setNumThreads(threads);
  OpenCv ocv(s);
  std::vector<uint8_t> f2 = s.frame;
  ocv.composite(s, f2.data());
  const double ref = tqbench::bestSeconds([&] { ocv.composite(s, f2.data()); }, reps, inner);
  std::printf("  OpenCV %s (%d threads)  %8.3f ms/frame\n", CV_VERSION, cv::getNumThreads(), ref * 1e3);
  tqbench::report("paste 512->1080p, " + std::to_string(threads) + " thread(s)", ours, "OpenCV lanczos4", ref);
#endif
  if (!quick || threads == 1) {
    Plain plain;
    std::vector<uint8_t> f3 = s.frame;
    const double pl = tqbench::bestSeconds([&] { plain.composite(s, f3.data()); }, quick ? 1 : 3, 1);
    std::printf("  plain scalar composite (1 thread)          %8.3f ms/frame\n", pl * 1e3);
    tqbench::report("paste 512->1080p, " + std::to_string(threads) + " thread(s)", ours, "plain scalar", pl);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = tqbench::quick(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--child") == 0) return child(quick);
  if (quick) return child(true);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return child(false);
  self[n] = '\0';
  int rc = 0;
  for (int t : {1, 2}) {
    std::fflush(stdout);
    const std::string cmd = "TQ_CORE_THREADS=" + std::to_string(t) + " '" + self + "' --child";
    rc |= std::system(cmd.c_str());
  }
  return rc == 0 ? 0 : 1;
}
