// Bank track decoding from memory: a read-only custom I/O context over the
// caller's bytes, libavcodec for the pictures, libswscale to RGB24 straight into
// each donor's slot. Every FFmpeg object is owned by a scoped holder, so each
// refusal leaves nothing behind.
#include "tessera/tq_bankdec_ff.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "driver/tq_driver_ff.h"

namespace tq {
namespace tessera {
namespace {

constexpr int kIoBufferBytes = 65536;

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

// The caller's bytes as a seekable read-only file.
struct MemoryFile {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
};

int readMemory(void* opaque, uint8_t* buf, int want) {
  auto* f = static_cast<MemoryFile*>(opaque);
  const int64_t left = f->size - f->pos;
  if (left <= 0 || want <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(want < left ? want : left);
  std::memcpy(buf, f->data + f->pos, static_cast<std::size_t>(n));
  f->pos += n;
  return n;
}

int64_t seekMemory(void* opaque, int64_t offset, int whence) {
  auto* f = static_cast<MemoryFile*>(opaque);
  if (whence & AVSEEK_SIZE) return f->size;
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = f->pos; break;
    case SEEK_END: base = f->size; break;
    default: return -1;
  }
  // Overflow-safe form of 0 <= base + offset <= size.
  if (offset < -base || offset > f->size - base) return -1;
  f->pos = base + offset;
  return f->pos;
}

struct AvFree {
  void operator()(void* p) const { av_free(p); }
};
struct IoFree {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);  // avio may have replaced the buffer it was given
    avio_context_free(&io);
  }
};
struct InputClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScalerFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

void checkTrackOrder(const std::vector<int32_t>& order, int nDonors) {
  for (int32_t v : order)
    if (v < 0 || v >= nDonors) refuse("reference bank track_order is out of range — refusing to serve");
  std::vector<bool> seen(static_cast<std::size_t>(nDonors), false);
  for (int32_t v : order) {
    if (seen[static_cast<std::size_t>(v)]) refuse("reference bank track_order is not a permutation — refusing to serve");
    seen[static_cast<std::size_t>(v)] = true;
  }
}

// Decoded pictures to RGB24 donor slots, in track order.
class SlotWriter {
 public:
  SlotWriter(std::vector<uint8_t>& out, const std::vector<int32_t>& order, int w, int h)
      : out_(out), order_(order), w_(w), h_(h), frameBytes_(static_cast<std::size_t>(w) * h * 3) {
    // Rows padded to whole 64-byte blocks plus one, and one spare row.
    scratchStride_ = (w * 3 + 63) / 64 * 64 + 64;
    scratch_.reset(static_cast<uint8_t*>(av_malloc(static_cast<std::size_t>(scratchStride_) * (h + 1))));
    if (!scratch_) refuse("reference bank decode: out of memory");
  }

  void take(const AVFrame* f) {
    if (f->width != w_ || f->height != h_) refuse("reference bank frame changed size mid-track — refusing to serve");
    if (count_ >= order_.size())
      refuse("bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve");
    // Same parameters give back the same context: no allocation per frame.
    SwsContext* s = sws_getCachedContext(scaler_.get(), w_, h_, static_cast<AVPixelFormat>(f->format), w_, h_,
                                         AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (s != scaler_.get()) {
      // sws_getCachedContext frees the old context itself when it replaces it.
      (void)scaler_.release();
      scaler_.reset(s);
    }
    if (!s) refuse("reference bank decode: no rgb24 conversion — refusing to serve");
    // swscale's vector paths store whole blocks past the end of a row, so it
    // writes into padded rows and the patch is copied out of them.
    uint8_t* dst[4] = {scratch_.get(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {scratchStride_, 0, 0, 0};
    if (sws_scale(s, f->data, f->linesize, 0, h_, dst, dstStride) != h_)
      refuse("reference bank decode: no rgb24 conversion — refusing to serve");
    uint8_t* slot = out_.data() + static_cast<std::size_t>(order_[count_]) * frameBytes_;
    const std::size_t row = static_cast<std::size_t>(w_) * 3;
    for (int y = 0; y < h_; ++y)
      std::memcpy(slot + y * row, scratch_.get() + static_cast<std::size_t>(y) * scratchStride_, row);
    ++count_;
  }

  std::size_t count() const { return count_; }

 private:
  std::vector<uint8_t>& out_;
  const std::vector<int32_t>& order_;
  int w_, h_;
  std::size_t frameBytes_;
  std::size_t count_ = 0;
  int scratchStride_ = 0;
  std::unique_ptr<uint8_t, AvFree> scratch_;
  std::unique_ptr<SwsContext, ScalerFree> scaler_;
};

// Receives every picture the decoder has ready.
void receiveAll(AVCodecContext* dec, AVFrame* frame, SlotWriter& slots) {
  for (;;) {
    const int r = avcodec_receive_frame(dec, frame);
    if (r < 0) return;  // EAGAIN, EOF, or a picture the decoder gave up on: the count check speaks
    try {
      slots.take(frame);
    } catch (...) {
      av_frame_unref(frame);
      throw;
    }
    av_frame_unref(frame);
  }
}

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, std::size_t length, int nDonors, int storedW,
                                     int storedH, const std::vector<int32_t>& trackOrder) {
  if (length == 0 || !bytes) refuse("reference bank track is empty — refusing to serve");
  if (static_cast<int64_t>(trackOrder.size()) != nDonors)
    refuse("reference bank sidecar track_order has " + std::to_string(trackOrder.size()) + " entries, expected " +
           std::to_string(nDonors) + " — sidecar/track mismatch, refusing to serve");
  if (storedW <= 0 || storedH <= 0 || nDonors <= 0) refuse("reference bank geometry is not positive — refusing to serve");
  if (length > static_cast<std::size_t>(INT64_MAX)) refuse("reference bank decode: out of memory");

  MemoryFile file{bytes, static_cast<int64_t>(length), 0};
  std::unique_ptr<uint8_t, AvFree> ioBuffer(static_cast<uint8_t*>(av_malloc(kIoBufferBytes)));
  if (!ioBuffer) refuse("reference bank decode: out of memory");
  std::unique_ptr<AVIOContext, IoFree> io(
      avio_alloc_context(ioBuffer.get(), kIoBufferBytes, 0, &file, readMemory, nullptr, seekMemory));
  if (!io) refuse("reference bank decode: avio_alloc_context failed");
  (void)ioBuffer.release();  // the I/O context owns it now

  std::unique_ptr<AVFormatContext, InputClose> fmt(avformat_alloc_context());
  if (!fmt) refuse("reference bank decode: avformat_alloc_context failed");
  fmt->pb = io.get();
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  {
    AVFormatContext* raw = fmt.release();
    const int opened = avformat_open_input(&raw, nullptr, nullptr, nullptr);
    fmt.reset(raw);  // null after a failed open, which frees the context itself
    if (opened < 0) refuse("reference bank track is not a readable container — refusing to serve");
  }
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0)
    refuse("reference bank track carries no stream info — refusing to serve");
  int streamIndex = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      streamIndex = static_cast<int>(i);
      break;
    }
  }
  if (streamIndex < 0) refuse("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = fmt->streams[streamIndex]->codecpar;
  if (par->width != storedW || par->height != storedH)
    refuse("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(storedW) + "x" + std::to_string(storedH) +
           " — geometry mismatch, refusing to serve");

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    refuse("no decoder for the reference bank track — this build must carry the h264 decoder (see "
           "build_ffmpeg_android.sh); refusing to serve");
  std::unique_ptr<AVCodecContext, CodecFree> dec(avcodec_alloc_context3(codec));
  if (!dec) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec.get(), par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  // Bank patches are small: one decoding thread beats the hand-off costs of several.
  dec->thread_count = 1;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder — refusing to serve");

  checkTrackOrder(trackOrder, nDonors);

  // The picture size is now the stream's; the product is checked before it sizes the bank.
  std::size_t total = 0;
  if (__builtin_mul_overflow(static_cast<std::size_t>(storedW) * static_cast<std::size_t>(storedH) * 3u,
                             static_cast<std::size_t>(nDonors), &total))
    refuse("reference bank decode: out of memory");
  std::vector<uint8_t> out(total);
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  if (!pkt || !frame) refuse("reference bank decode: out of memory");

  SlotWriter slots(out, trackOrder, storedW, storedH);
  // A read error ends the track like its end does; the frame count then refuses it.
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == streamIndex) {
      // A damaged packet yields fewer frames, which the count check refuses.
      const int sent = avcodec_send_packet(dec.get(), pkt.get());
      receiveAll(dec.get(), frame.get(), slots);
      if (sent == AVERROR(EAGAIN)) {
        avcodec_send_packet(dec.get(), pkt.get());
        receiveAll(dec.get(), frame.get(), slots);
      }
    }
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(dec.get(), nullptr);
  receiveAll(dec.get(), frame.get(), slots);

  if (slots.count() != static_cast<std::size_t>(nDonors))
    refuse("bank track decoded to " + std::to_string(slots.count()) + " frames, expected " + std::to_string(nDonors) +
           " — geometry/N mismatch, refusing to serve");
  return out;
}

std::string bankDecoderBuild() { return movieDecoderBuild(); }

}  // namespace tessera
}  // namespace tq
