#include "render/tq_renderer.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "base/tq_log.h"
#include "compute/tq_env.h"
#include "compute/tq_pool.h"
#include "compute/tq_simd.h"
#include "render/gridsample_fast.h"
#include "render/graph_normalise.h"
#include "render/int8conv_vnni.h"
#include "render/tq_cone_ring.h"
#include "render/tq_ort.h"
#include "render/tq_warp.h"
#include "tessera/tq_lip_contour.h"

namespace tq {

namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::vector<uint8_t> readModelBytes(const std::string& path) {
  // The size comes from fstat of a regular file: a directory "opens" as a stream
  // whose end offset is meaningless.
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    throw std::runtime_error("Renderer: cannot open " + path);
  }
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(st.st_size));
  } catch (...) {
    std::fclose(f);
    throw;
  }
  const std::size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (got != bytes.size()) throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::string xnnpackRefusal(const std::string& ep) {
  return "Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to Vexamo custom-domain nodes "
         "(com.vexamo::GridSampleFast, and com.vexamo::WarpDirector wherever TQ_WARP_NODE is on), and "
         "ORT's XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them — "
         "measured 2026-09-15 on a published brevane2-android AAR, null deref inside libonnxruntime.so "
         "at session create, on both a door-served and a hand-staged copy of the same identity. It is a "
         "signal, not an exception, so it cannot be caught and reported. Use the default ep (\"\", the "
         "ORT CPU EP), which opens the same bundle on the same bytes.";
}

std::string bakedRefusal(const std::string& path) {
  return "Renderer: TQ_GS_FAST=0 (or VEXAMO_BREVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, "
         "but " +
         path +
         " has com.vexamo::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op "
         "registration, so there would be no kernel to bind and this session would die inside ORT with "
         "'GridSampleFast(-1) is not a registered function/op'. There is no standard-GridSample arm on "
         "this bundle to measure: the artifact itself is non-standard. Run the A/B on a STANDARD-ONNX "
         "bundle (the shipping format since INFERENCE_STANDARDIZATION.md #1), or unset the flag to load "
         "this one.";
}

std::string kpContractRefusal(const std::string& path, const std::string& input, int64_t rows) {
  std::string m = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " — the graph declares " +
                  input + " with " + std::to_string(rows) + " keypoint rows, and this renderer feeds " +
                  std::to_string(kHostKpRows) + " (tq::kHostKpRows, tq/tq.h). ";
  if (rows == 22)
    m += "That is the recipe_v4 / kd_v4 shape: row " + std::to_string(kHostKpRows) +
         " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has "
         "no width feed (see tq_a2x_width / tq_a2x_pull_wn in tq/tq_a2x.h, which nothing on this path "
         "calls yet), so it cannot drive this director. ";
  m += "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been "
       "published to a host that links this renderer: training/recipe/host_kp_contract.py is the "
       "publish gate that exists to prevent it.";
  return m;
}

// The half-precision convolution engine is not part of this build.
struct ConvBackend {
  static bool available() { return false; }
};

}  // namespace

std::string coremlCacheDir(const std::string& dir) {
  ortInit();
  const OrtApiBase* base = OrtGetApiBase();
  const char* v = base ? base->GetVersionString() : nullptr;
  return dir + "/.coreml_cache/ort" + (v && *v ? v : "unknown");
}

struct Renderer::Impl {
  std::string ep;
  Ort::SessionOptions options{nullptr};
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  bool profiling = false;
  double runMs = 0;
  int64_t runs = 0;
  const Identity* identity = nullptr;
  int32_t batch = 0;
  int32_t crop = 0;
  std::size_t pooledElems = 65536;
  std::size_t priorElems = 0;
  std::size_t fsRedElems = 262144;
  bool featSynth = false;
  std::vector<float> pooledBuf, priorBuf, fsRedBuf, kpDrivingBuf, kpSourceBuf, outBuf;
  std::vector<Ort::Value> values;
  std::unique_ptr<tessera::LipContour> lip;  // lip contour from the bundle's template, when it has one
  std::vector<float> lipBuf;                  // batch x crop x crop, the "lip_delivery" raster
  bool lipBound = false;                      // the graph's compose alpha reads "lip_delivery"
  std::string directorNote;
  std::string modelKey;
  std::string modelPath;
  int threads = 1;
  ConeHoistPlan hoist;  // the split graph, between the decision and the ring's set-up
  // Declared last: stopped and destroyed before the buffers its thread fills.
  std::unique_ptr<ConeRing> cone;

  void buildSession(const Manifest& m, const std::string& epStr);
  void bindBuffers();
};

// Session options, execution provider, custom operators, the model bytes and
// their load-time rewrites, then the session itself.
void Renderer::Impl::buildSession(const Manifest& m, const std::string& epStr) {
  session.reset();
  hoist = ConeHoistPlan();
  options = Ort::SessionOptions();
  options.SetIntraOpNumThreads(threads);
  options.SetInterOpNumThreads(1);
  options.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!env::beginsWith("TQ_ORT_SPIN", '1')) options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  options.AddConfigEntry("mlas.disable_kleidiai", "1");
  profiling = false;
  if (env::nonEmpty("TQ_ORT_PROFILE")) {
    options.EnableProfiling(env::raw("TQ_ORT_PROFILE"));
    profiling = true;
  }

  const bool coreml = startsWith(epStr, "coreml");
  if (epStr.empty()) {
    // ONNX Runtime's CPU execution provider is the default.
  } else if (startsWith(epStr, "xnnpack")) {
    throw std::runtime_error(xnnpackRefusal(epStr));
  } else if (coreml) {
    const std::string units = epStr.size() < 8 ? "all" : epStr.substr(7);
    const char* mapped = units == "cpu" ? "CPUOnly" : units == "gpu" ? "CPUAndGPU" : units == "ane" ? "CPUAndNeuralEngine" : "ALL";
    options.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                               {"MLComputeUnits", mapped},
                                               {"ModelCacheDirectory", coremlCacheDir(m.dir)}});
  } else {
    throw std::runtime_error("Renderer: unknown ep '" + epStr + "'");
  }

  bool gsRewrite = false;
  const bool customOps = !env::beginsWith("TQ_GS_FAST", '0');
  if (!customOps) {
    bool baked = false;
    try {
      const std::vector<uint8_t> bytes = readModelBytes(modelPath);
      baked = !bytes.empty() && graphHasBakedGridSampleFast(bytes);
    } catch (const std::exception&) {
      baked = false;
    }
    if (baked) throw std::runtime_error(bakedRefusal(modelPath));
    registerInt8ConvVNNI(options);
  } else {
    gsRewrite = !env::beginsWith("TQ_GS_REWRITE", '0');
    if (!gsRewrite && !coreml)
      tq::logText(TQ_LOG_INFO,
                   "[tq] TQ_GS_REWRITE=0: load-time std GridSample -> com.vexamo::GridSampleFast rewrite "
                   "DISABLED (%s); the custom op is still registered, so a baked bundle loads and runs its "
                   "baked kernel. A standard bundle now runs ORT's own GridSample.\n",
                   modelKey.c_str());
    registerGridSampleFast(options);
    registerInt8ConvVNNI(options);
  }

  std::vector<uint8_t> bytes = readModelBytes(modelPath);

  // Load-time rewrites, in order, each in place on the bytes.
  std::size_t warpRemoved = 0;
  if (env::nonEmpty("TQ_WARP_NODE") && !env::beginsWith("TQ_WARP_NODE", '0') && !coreml) {
    // Without the custom domain registered the WarpDirector node would have no
    // kernel and every render would fail: the warp stays in standard nodes.
    std::string reason;
    if (customOps)
      warpRemoved = rewriteWarpBlockToCustomOp(bytes, reason);
    else
      reason = "TQ_GS_FAST=0 turns the com.vexamo custom operators off";
    if (warpRemoved)
      tq::logText(TQ_LOG_INFO, "[tq] director warp -> com.vexamo::WarpDirector (%zu nodes removed, the source cone with them)\n",
                   warpRemoved);
    else
      tq::logText(TQ_LOG_INFO, "[tq] director warp NOT moved to one node (%s) — the graph loads exactly as it did before\n",
                   reason.empty() ? "no reason given" : reason.c_str());
  }
  std::size_t gsCount = 0;
  if (gsRewrite && !coreml) gsCount = rewriteGridSampleToFast(bytes);
  const std::size_t blendCount = normaliseStudentBlend(bytes);
  const std::size_t cubicCount = rewriteHeadCubicResize(bytes);
  lipBound = false;
  if (lip) {
    std::string reason;
    int canvas = 0;
    lipBound = rewriteBindLipContour(bytes, reason, &canvas, nullptr);
    if (lipBound && canvas != crop)
      throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                               " and this bundle's manifest declares crop " + std::to_string(crop) +
                               " — refusing to bind a lip contour rasterised on the wrong canvas");
    if (!lipBound)
      tq::logText(TQ_LOG_WARNING,
                   "[tq] !!! lip contour NOT bound to the compose alpha (%s): %s — this session serves the "
                   "graph's own ELLIPSE\n",
                   modelKey.c_str(), reason.empty() ? "no reason given" : reason.c_str());
  } else {
    tq::logText(TQ_LOG_WARNING,
                 "[tq] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director "
                 "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/brevane-2/tools/carry_lip_template_fleet.py\n",
                 modelKey.c_str(), "lip_template.v1.json");
  }

  const bool hasPrior = identity && (!identity->rawPrior.empty() || !identity->priorMoviePath.empty());
  const bool hoisted =
      decideSourceConeHoist(bytes, hasPrior, crop, modelKey, epStr, warpRemoved > 0, options, hoist);

  if (gsCount)
    tq::logText(TQ_LOG_INFO, "[tq] std GridSample -> com.vexamo::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 gsCount, modelKey.c_str());
  if (blendCount)
    tq::logText(TQ_LOG_INFO,
                 "[tq] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) — a "
                 "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML "
                 "unit that includes the GPU\n",
                 blendCount, modelKey.c_str());
  if (cubicCount)
    tq::logText(TQ_LOG_INFO,
                 "[tq] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu "
                 "node(s) (%s) — the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on "
                 "every CPU-class EP and no CoreML/NNAPI EP can claim it\n",
                 cubicCount, modelKey.c_str());
  if (lipBound)
    tq::logText(TQ_LOG_INFO,
                 "[tq] compose alpha: LIP CONTOUR (%s) — Min(a, lip_delivery) bound at load, %d verts, feather "
                 "%.1f px; the graph's ellipse is not reachable in this session\n",
                 modelKey.c_str(), static_cast<int>(lip->nv), static_cast<double>(lip->feather_px));

  if (hoisted)
    session = std::move(hoist.director);
  else if (warpRemoved || gsCount || blendCount || cubicCount || lipBound)
    session = makeSession(bytes.data(), bytes.size(), options);
  else
    session = makeSession(modelPath, options);
}

void Renderer::Impl::bindBuffers() {
  const Ort::MemoryInfo& mem = ortCpuMemory();
  binding = std::make_unique<Ort::IoBinding>(*session);
  const int64_t b = batch, c = crop;
  auto bind = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape, bool output) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    if (output)
      binding->BindOutput(name, values.back());
    else
      binding->BindInput(name, values.back());
  };
  values.reserve(7);
  if (featSynth) {
    bind("fs_red", fsRedBuf, {b, 64, 64, 64}, false);
    bind("pooled", pooledBuf, {b, 64, 32, 32}, false);
    bind("kd", kpDrivingBuf, {b, kHostKpRows, 3}, false);
    bind("ks", kpSourceBuf, {b, kHostKpRows, 3}, false);
  } else {
    bind("pooled64", pooledBuf, {b, 64, 32, 32}, false);
    if (!cone) bind("P_rgb", priorBuf, {b, 3, c, c}, false);
    bind("kp_driving", kpDrivingBuf, {b, kHostKpRows, 3}, false);
    bind("kp_source", kpSourceBuf, {b, kHostKpRows, 3}, false);
  }
  bind("rgb", outBuf, {b, 3, c, c}, true);
  if (lipBound && !featSynth) bind(kLipInput, lipBuf, {b, 1, c, c}, false);
}

Renderer::Renderer(const Manifest& m, const Identity& id, const std::string& modelKey, int threads,
                   const std::string& epIn)
    // The API must be bound before the Impl's ONNX Runtime members are constructed.
    : impl_((ortInit(), std::make_unique<Impl>())) {
  Impl& I = *impl_;
  I.identity = &id;
  I.crop = m.crop;
  I.modelKey = modelKey;
  I.modelPath = m.modelPath(modelKey);
  I.threads = threads < 1 ? pool::threads() : threads;
  std::string ep = epIn;

  // The fp16 convolution engine, when asked for.
  if (ep == "neon" || (ep.empty() && env::equals("TQ_CONV_BACKEND", "neon"))) {
    if (!ConvBackend::available()) {
      tq::logText(TQ_LOG_WARNING, "[tq] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
      ep.clear();
    }
  }

  // A template that breaks any rule refuses the load.
  if (!m.lipTemplate.empty())
    I.lip = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(m.lipTemplate, I.crop));

  try {
    I.buildSession(m, ep);
  } catch (const std::exception& e) {
    if (!startsWith(ep, "coreml")) throw;
    tq::logText(TQ_LOG_WARNING, "[tq] CoreML EP session refused: %s — falling back to the ORT CPU EP\n", e.what());
    I.session.reset();
    ep.clear();
    I.buildSession(m, ep);
  }

  // Inputs: graph kind, batch, keypoint contract.
  Ort::Session& s = *I.session;
  Ort::AllocatorWithDefaultOptions alloc;
  const std::size_t nIn = s.GetInputCount();
  std::vector<std::string> names(nIn);
  std::vector<std::vector<int64_t>> shapes(nIn);
  for (std::size_t k = 0; k < nIn; ++k) {
    names[k] = s.GetInputNameAllocated(k, alloc).get();
    Ort::TypeInfo ti = s.GetInputTypeInfo(k);
    if (ti.GetONNXType() == ONNX_TYPE_TENSOR) shapes[k] = ti.GetTensorTypeAndShapeInfo().GetShape();
    if (names[k] == "fs_red") I.featSynth = true;
  }
  const std::string pooledName = I.featSynth ? "pooled" : "pooled64";
  for (std::size_t k = 0; k < nIn; ++k)
    if (names[k] == pooledName && shapes[k].size() == 4 && shapes[k][0] > 0)
      I.batch = static_cast<int32_t>(shapes[k][0]);
  if (I.batch < 1) throw std::runtime_error(pooledName + " input not found / bad shape");
  // The declared batch sizes the bound buffers: a damaged graph must not size them.
  if (I.batch > kMaxDirectorBatch)
    throw std::runtime_error("Renderer: " + I.modelPath + " declares " + pooledName + " batch " +
                             std::to_string(I.batch) + "; this renderer binds at most " +
                             std::to_string(kMaxDirectorBatch) + " frames per run. REFUSING at load.");
  const char* kd = I.featSynth ? "kd" : "kp_driving";
  const char* ks = I.featSynth ? "ks" : "kp_source";
  for (std::size_t k = 0; k < nIn; ++k)
    if ((names[k] == kd || names[k] == ks) && shapes[k].size() == 3 && shapes[k][1] >= 1 &&
        shapes[k][1] != kHostKpRows)
      throw std::runtime_error(kpContractRefusal(I.modelPath, names[k], shapes[k][1]));

  const std::size_t b = static_cast<std::size_t>(I.batch);
  const std::size_t side = static_cast<std::size_t>(I.crop);
  I.priorElems = side * side * 3;
  I.pooledBuf.assign(b * I.pooledElems, 0.0f);
  I.kpDrivingBuf.assign(b * 63, 0.0f);
  I.kpSourceBuf.assign(b * 63, 0.0f);
  I.outBuf.assign(b * I.priorElems, 0.0f);
  if (I.featSynth)
    I.fsRedBuf.assign(b * I.fsRedElems, 0.0f);
  else
    I.priorBuf.assign(b * I.priorElems, 0.0f);
  // Ones leave the graph's own alpha unchanged until a frame is rasterised.
  if (I.lipBound) I.lipBuf.assign(b * side * side, 1.0f);

  if (I.featSynth && id.featSynth.empty())
    throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
  if (!I.featSynth && id.rawPrior.empty() && id.priorMoviePath.empty())
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, "
        "nor a P_hevc.mov to play in place is present, so tq::Identity mapped NOTHING and "
        "Identity::P(si) would be an offset from a null pointer — a SEGFAULT on the first frame, not a "
        "refusal. REFUSING to create a session.");

  if (I.hoist.prep) {
    if (I.batch != 1)
      throw std::runtime_error("Renderer: the hoisted source cone serves one frame per run and " + I.modelPath +
                               " declares batch " + std::to_string(I.batch));
    I.cone = std::make_unique<ConeRing>(std::move(I.hoist.prep), id, I.priorBuf.data(), I.crop, I.hoist.boundary,
                                        I.hoist.dims);
  }
  I.bindBuffers();
  I.ep = ep.empty() ? "cpu" : ep;
  tq::logText(TQ_LOG_INFO, "[tq] director ep=%s (%s)\n", I.ep.c_str(),
               startsWith(ep, "coreml") ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph"
                                        : "ORT CPU EP");
}

Renderer::~Renderer() {
  if (!impl_) return;
  Impl& I = *impl_;
  I.cone.reset();
  if (I.profiling && I.session) {
    if (I.runs > 0)
      tq::logText(TQ_LOG_INFO, "[tq_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n",
                   static_cast<long>(I.runs), I.runMs / static_cast<double>(I.runs));
    try {
      Ort::AllocatorWithDefaultOptions alloc;
      auto name = I.session->EndProfilingAllocated(alloc);
      tq::logText(TQ_LOG_INFO, "[tq_ort_profile] %s\n", name.get());
    } catch (const std::exception& e) {
      tq::logText(TQ_LOG_WARNING, "[tq_ort_profile] FAILED: %s\n", e.what());
    }
  }
  I.values.clear();
  I.binding.reset();
  I.session.reset();
}

namespace {

const float* runDirector(Renderer::Impl& I) {
  const auto t0 = std::chrono::steady_clock::now();
  // The shared arena keeps the run's working memory until the process idles.
  ortRun(*I.session, *I.binding);
  I.runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++I.runs;
  return I.outBuf.data();
}

}  // namespace

const float* Renderer::render(const int* sourceIndex, const float* sourceKp, const float* drivingKp, int n) {
  Impl& I = *impl_;
  if (n < 1 || n > I.batch) throw std::runtime_error("render: bad n");
  const Identity& id = *I.identity;
  for (int k = 0; k < n; ++k)
    if (sourceIndex[k] < 0 || sourceIndex[k] >= id.NT)
      throw std::runtime_error("render: source index " + std::to_string(sourceIndex[k]) + " out of range [0, " +
                               std::to_string(id.NT) + ")");
  const std::size_t pe = I.pooledElems;
  if (I.cone) {
    const int si = sourceIndex[0];
    const int slot = I.cone->acquire(si);
    I.binding->BindInput(I.cone->boundary().c_str(), I.cone->value(slot));
    simd::f16ToF32(id.pooled64(si), I.pooledBuf.data(), pe);
    std::memcpy(I.kpSourceBuf.data(), sourceKp, 63 * sizeof(float));
    std::memcpy(I.kpDrivingBuf.data(), drivingKp, 63 * sizeof(float));
    if (I.lipBound) I.lip->contourF32Canvas(drivingKp, I.lipBuf.data());
    // Posted before the run so the next source frame's prep overlaps this run.
    I.cone->prefetchAfter(si);
    return runDirector(I);
  }
  const std::size_t re = I.featSynth ? I.fsRedElems : I.priorElems;
  float* prior = I.featSynth ? I.fsRedBuf.data() : I.priorBuf.data();
  const std::size_t le = static_cast<std::size_t>(I.crop) * static_cast<std::size_t>(I.crop);
  for (int k = 0; k < I.batch; ++k) {
    const std::size_t kk = static_cast<std::size_t>(k);
    if (k < n) {
      const int si = sourceIndex[k];
      simd::f16ToF32(id.pooled64(si), I.pooledBuf.data() + kk * pe, pe);
      simd::f16ToF32(I.featSynth ? id.fsRed(si) : id.P(si), prior + kk * re, re);
      std::memcpy(I.kpSourceBuf.data() + kk * 63, sourceKp + kk * 63, 63 * sizeof(float));
      std::memcpy(I.kpDrivingBuf.data() + kk * 63, drivingKp + kk * 63, 63 * sizeof(float));
      if (I.lipBound) I.lip->contourF32Canvas(drivingKp + kk * 63, I.lipBuf.data() + kk * le);
    } else {
      // Padding up to the graph's fixed batch repeats the last requested frame.
      const std::size_t last = static_cast<std::size_t>(n - 1);
      std::memcpy(I.pooledBuf.data() + kk * pe, I.pooledBuf.data() + last * pe, pe * sizeof(float));
      std::memcpy(prior + kk * re, prior + last * re, re * sizeof(float));
      std::memcpy(I.kpSourceBuf.data() + kk * 63, I.kpSourceBuf.data() + last * 63, 63 * sizeof(float));
      std::memcpy(I.kpDrivingBuf.data() + kk * 63, I.kpDrivingBuf.data() + last * 63, 63 * sizeof(float));
      if (I.lipBound) std::memcpy(I.lipBuf.data() + kk * le, I.lipBuf.data() + last * le, le * sizeof(float));
    }
  }
  return runDirector(I);
}

int Renderer::batch() const { return impl_->batch; }
const char* Renderer::ep() const { return impl_->ep.c_str(); }
const char* Renderer::backend() const { return "ort"; }
const char* Renderer::directorNote() const { return impl_->directorNote.c_str(); }
double Renderer::runMs() const { return impl_->runMs; }
long Renderer::runs() const { return static_cast<long>(impl_->runs); }
bool Renderer::coneHoisted() const { return impl_->cone != nullptr; }
long Renderer::coneSyncFills() const { return impl_->cone ? impl_->cone->syncFills() : 0; }

}  // namespace tq
