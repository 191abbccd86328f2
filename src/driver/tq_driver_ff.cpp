// FfSource: demux + decode with libavformat/libavcodec, convert each picture
// straight into the caller's frame buffer.
#include "driver/tq_driver_ff.h"

extern "C" {
#include <dlfcn.h>
#include <sys/stat.h>

#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/tq_log.h"
#include "compute/tq_env.h"
#include "compute/tq_simd.h"

namespace tq {
namespace driver {
namespace {

// FFmpeg's CUDA decoder loads the NVIDIA driver's decode library when it opens
// and says so on its own log when there is none; where neither library can be
// loaded, trying it can only fail.
bool nvidiaDecoderLoadable() {
  static const bool loadable = [] {
    for (const char* lib : {"libcuda.so.1", "libnvcuvid.so.1"}) {
      void* h = dlopen(lib, RTLD_LAZY | RTLD_LOCAL);
      if (!h) return false;
      dlclose(h);
    }
    return true;
  }();
  return loadable;
}

}  // namespace

namespace {

constexpr const char* kHwDecoder = "h264_cuvid";
constexpr int kSoftwareThreads = 4;
// Bounds of the container probe: a driver's first frames are far inside both.
constexpr const char* kProbeBytes = "33554432";
constexpr const char* kProbeMicros = "10000000";

std::string avError(int err) {
  char buf[64];
  if (av_strerror(err, buf, sizeof buf) < 0) std::snprintf(buf, sizeof buf, "error %d", err);
  return buf;
}

std::string buildVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO);
}

bool hwdecDisabled() {
  const char* v = env::raw("TQ_DRIVER_HWDEC");
  return v && std::strcmp(v, "0") == 0;
}

// Context for codec over the stream's parameters; throws the context failures.
AVCodecContext* contextFor(const AVCodec* codec, const AVCodecParameters* par) {
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  if (!ctx) throw std::runtime_error("tq_driver: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(ctx, par) < 0) {
    avcodec_free_context(&ctx);
    throw std::runtime_error("tq_driver: avcodec_parameters_to_context failed");
  }
  return ctx;
}

// avcodec_open2 with an empty options dictionary.
int openCodec(AVCodecContext* ctx, const AVCodec* codec) {
  AVDictionary* opts = nullptr;
  const int r = avcodec_open2(ctx, codec, &opts);
  av_dict_free(&opts);
  return r;
}

inline uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

FfSource::FfSource(int mode, std::string path, int NT, int W, int H)
    : mode_(mode), path_(std::move(path)), NT_(NT), W_(W), H_(H) {
  for (int v = 0; v < 256; ++v)
    toHalf_[v] = mode_ == kPrior ? tq::f32ToF16(static_cast<float>(v) / 255.0f) : uint16_t(0);
}

FfSource::~FfSource() { close(); }

void FfSource::close() {
  av_frame_free(&frame_);
  av_packet_free(&pkt_);
  avcodec_free_context(&dec_);
  avformat_close_input(&fmt_);
  streamIndex_ = -1;
}

std::size_t FfSource::frameBytes() const {
  const std::size_t px = static_cast<std::size_t>(W_) * static_cast<std::size_t>(H_);
  return mode_ == kPrior ? px * 6 : px * 3;
}

void FfSource::fault(const std::string& what) const {
  throw std::runtime_error("tq_driver: " + path_ + what);
}

void FfSource::open() {
  close();
  try {
    // A member that never ends (a device, a pipe) would keep the probe reading:
    // only a regular file is played, and the probe is bounded in bytes and time.
    struct stat fileStat;
    if (::stat(path_.c_str(), &fileStat) == 0 && !S_ISREG(fileStat.st_mode)) fault(" is not a regular file — refusing");
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "probesize", kProbeBytes, 0);
    av_dict_set(&opts, "analyzeduration", kProbeMicros, 0);
    const int opened = avformat_open_input(&fmt_, path_.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (opened < 0) {
      fmt_ = nullptr;
      fault(" is not a readable container");
    }
    fmt_->probesize = std::atoll(kProbeBytes);
    fmt_->max_analyze_duration = std::atoll(kProbeMicros);
    if (avformat_find_stream_info(fmt_, nullptr) < 0) fault(" carries no stream info");
    for (unsigned i = 0; i < fmt_->nb_streams; ++i) {
      if (fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        streamIndex_ = static_cast<int32_t>(i);
        break;
      }
    }
    if (streamIndex_ < 0) fault(" has no video stream");
    const AVStream* st = fmt_->streams[streamIndex_];
    const AVCodecParameters* par = st->codecpar;
    if (par->width != W_ || par->height != H_)
      fault(" is " + std::to_string(par->width) + "x" + std::to_string(par->height) + ", the manifest says " +
            std::to_string(W_) + "x" + std::to_string(H_) + " — refusing to rescale the driver");
    if (st->nb_frames > 0 && st->nb_frames != NT_)
      fault(" carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" + std::to_string(NT_) +
            " — member/manifest mismatch, refusing");

    if (hwdecDisabled()) {
      tq::logText(TQ_LOG_INFO,
                   "[tq-driver] TQ_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the one decoder "
                   "on this fleet (same samples)\n",
                   kHwDecoder);
    } else if (mode_ == kDriver && par->codec_id == AV_CODEC_ID_H264 && nvidiaDecoderLoadable()) {
      if (const AVCodec* hw = avcodec_find_decoder_by_name(kHwDecoder)) {
        AVCodecContext* ctx = contextFor(hw, par);
        ctx->thread_count = 1;
        if (openCodec(ctx, hw) < 0) {
          avcodec_free_context(&ctx);
          tq::logText(TQ_LOG_WARNING,
                       "[tq-driver] %s refused %s — falling back to the software h264 decoder (same samples, "
                       "more CPU)\n",
                       kHwDecoder, path_.c_str());
        } else {
          dec_ = ctx;
        }
      }
    }
    if (!dec_) {
      const AVCodec* sw = avcodec_find_decoder(par->codec_id);
      if (!sw)
        throw std::runtime_error("tq_driver: no decoder for " + path_ + " (codec id " +
                                 std::to_string(static_cast<int>(par->codec_id)) + ")");
      dec_ = contextFor(sw, par);
      dec_->thread_count = kSoftwareThreads;
      dec_->thread_type = FF_THREAD_FRAME;
      if (openCodec(dec_, sw) < 0) throw std::runtime_error("tq_driver: could not open the decoder for " + path_);
    }

    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!pkt_ || !frame_) throw std::runtime_error("tq_driver: out of memory");
    flushed_ = false;
    decoded_ = 0;
    label_ = std::string(mode_ == kPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") + buildVersion() + " " +
             dec_->codec->name;
  } catch (...) {
    close();
    throw;
  }
}

bool FfSource::next(uint8_t* out) {
  if (!dec_) return false;
  for (;;) {
    const int r = avcodec_receive_frame(dec_, frame_);
    if (r == AVERROR(EAGAIN)) {
      if (flushed_) return false;
      const int rr = av_read_frame(fmt_, pkt_);
      if (rr == AVERROR_EOF) {
        flushed_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (rr < 0) fault(" read fault (" + avError(rr) + ")");
      if (pkt_->stream_index == streamIndex_) {
        if (pkt_->size > maxPacket_) maxPacket_ = pkt_->size;
        const int s = avcodec_send_packet(dec_, pkt_);
        if (s < 0 && s != AVERROR(EAGAIN)) {
          av_packet_unref(pkt_);
          fault(" packet refused (" + avError(s) + ")");
        }
      }
      av_packet_unref(pkt_);
      continue;
    }
    if (r == AVERROR_EOF) return false;
    if (r < 0) fault(" decode fault at frame " + std::to_string(decoded_) + " (" + avError(r) + ")");
    break;
  }

  try {
    if (frame_->width != W_ || frame_->height != H_) fault(" changed size mid-stream — refusing");
    const auto fmt = static_cast<AVPixelFormat>(frame_->format);
    const char* fmtName = av_get_pix_fmt_name(fmt);
    if (mode_ == kPrior) {
      if (fmt != AV_PIX_FMT_YUV444P)
        fault(" decoded to " + std::string(fmtName ? fmtName : "?") +
              ", not the yuv444p a warp prior is authored in — a subsampled prior is a different mouth, refusing");
      convertPrior(frame_, out);
    } else {
      if (fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_NV12)
        fault(" decoded to " + std::string(fmtName ? fmtName : "?") +
              ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing rather "
              "than pasting onto a different pixel domain");
      convertDriver(frame_, out);
    }
  } catch (...) {
    av_frame_unref(frame_);
    throw;
  }
  av_frame_unref(frame_);
  ++decoded_;
  return true;
}

void FfSource::convertDriver(const AVFrame* f, uint8_t* out) const {
  const std::ptrdiff_t rowBytes = static_cast<std::ptrdiff_t>(W_) * 3;
  const bool nv12 = f->format == AV_PIX_FMT_NV12;
  for (int y = 0; y < H_; ++y) {
    const uint8_t* Y = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
    const uint8_t* U = f->data[1] + static_cast<std::ptrdiff_t>(y / 2) * f->linesize[1];
    const uint8_t* V = nv12 ? U + 1 : f->data[2] + static_cast<std::ptrdiff_t>(y / 2) * f->linesize[2];
    simd::yuv420RowToRgb24(Y, U, V, W_, nv12 ? 2 : 1, out + y * rowBytes);
  }
}

void FfSource::convertPrior(const AVFrame* f, uint8_t* out) const {
  const std::size_t plane = static_cast<std::size_t>(W_) * static_cast<std::size_t>(H_) * 2;
  uint8_t* R = out;
  uint8_t* G = out + plane;
  uint8_t* B = out + 2 * plane;
  std::size_t o = 0;
  for (int y = 0; y < H_; ++y) {
    const uint8_t* Yr = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
    const uint8_t* Ur = f->data[1] + static_cast<std::ptrdiff_t>(y) * f->linesize[1];
    const uint8_t* Vr = f->data[2] + static_cast<std::ptrdiff_t>(y) * f->linesize[2];
    for (int x = 0; x < W_; ++x, o += 2) {
      const int c = 76312 * (static_cast<int>(Yr[x]) - 16);
      const int d = static_cast<int>(Ur[x]) - 128;
      const int e = static_cast<int>(Vr[x]) - 128;
      const uint16_t r = toHalf_[clampByte((c + 104600 * e + 32768) >> 16)];
      const uint16_t g = toHalf_[clampByte((c - 25672 * d - 53280 * e + 32768) >> 16)];
      const uint16_t b = toHalf_[clampByte((c + 132200 * d + 32768) >> 16)];
      std::memcpy(R + o, &r, 2);
      std::memcpy(G + o, &g, 2);
      std::memcpy(B + o, &b, 2);
    }
  }
}

void FfSource::rewind() {
  if (fmt_ && dec_ && streamIndex_ >= 0 && av_seek_frame(fmt_, streamIndex_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
    avcodec_flush_buffers(dec_);
    flushed_ = false;
  } else {
    close();
    open();
  }
  decoded_ = 0;
}

void FfSource::seek(int i) {
  if (i < 0 || i >= NT_) throw std::runtime_error("tq_driver: seek outside the member");
  if (i < decoded_) rewind();
  if (decoded_ >= i) return;
  std::vector<uint8_t> scratch(frameBytes());
  while (decoded_ < i) {
    if (!next(scratch.data()))
      throw std::runtime_error("tq_driver: " + path_ + " ended at frame " + std::to_string(decoded_) +
                               " while seeking to " + std::to_string(i));
  }
}

std::size_t FfSource::residentBytes() const {
  const std::size_t px = static_cast<std::size_t>(W_) * static_cast<std::size_t>(H_);
  const std::size_t native = mode_ == kPrior ? px * 3 : px * 3 / 2;
  const std::size_t packet = static_cast<std::size_t>(maxPacket_);
  if (!dec_) return native * 6 + packet;
  const int threads = dec_->thread_count > 1 ? dec_->thread_count : 1;
  return native * static_cast<std::size_t>(threads + 5) + packet;
}

SourcePtr openMp4(const std::string& path, int NT, int W, int H) {
  auto s = std::make_unique<FfSource>(FfSource::kDriver, path, NT, W, H);
  s->open();
  return s;
}

SourcePtr openPriorHevc(const std::string& path, int NT, int side) {
  auto s = std::make_unique<FfSource>(FfSource::kPrior, path, NT, side, side);
  s->open();
  return s;
}

}  // namespace driver

std::string movieDecoderBuild() {
  return "libavcodec " + driver::buildVersion() + " / " + avcodec_configuration();
}

}  // namespace tq
