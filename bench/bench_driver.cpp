// Driver movie costs:
//  1. yuv420RowToRgb24 over a 1920x1080 frame against libswscale's yuv420p -> rgb24
//     (SWS_BILINEAR, single thread) on the same planes; ours must stay bit-exact
//     to the scalar reference.
//  2. Sequential decode of a 1080p H.264 movie (written by the ffmpeg tool at run
//     time) through FfSource::next against a plain libavcodec decode + swscale
//     loop with the same decoder threads.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "driver/tq_driver.h"
#include "compute/tq_simd.h"
#include "driver/tq_driver_ff.h"

namespace {

constexpr int kW = 1920, kH = 1080;

// ---------------------------------------------------------------- 1. row kernel

int benchRowKernel(int reps) {
  const int cw = kW / 2, ch = kH / 2;
  std::vector<uint8_t> Y(size_t(kW) * kH), U(size_t(cw) * ch), V(size_t(cw) * ch);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : Y) b = uint8_t(byte(rng));
  for (auto& b : U) b = uint8_t(byte(rng));
  for (auto& b : V) b = uint8_t(byte(rng));
  std::vector<uint8_t> ours(size_t(kW) * kH * 3), ref(ours.size()), sws(ours.size());

  auto convertOurs = [&] {
    for (int y = 0; y < kH; ++y)
      tq::simd::yuv420RowToRgb24(&Y[size_t(y) * kW], &U[size_t(y / 2) * cw], &V[size_t(y / 2) * cw], kW, 1,
                                 &ours[size_t(y) * kW * 3]);
  };
  for (int y = 0; y < kH; ++y)
    tq::simd::yuv420RowToRgb24Scalar(&Y[size_t(y) * kW], &U[size_t(y / 2) * cw], &V[size_t(y / 2) * cw], kW, 1,
                                     &ref[size_t(y) * kW * 3]);
  convertOurs();
  if (ours != ref) {
    std::printf("yuv420RowToRgb24: NOT bit-exact to the scalar reference\n");
    return 1;
  }

  SwsContext* ctx = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
  if (!ctx) {
    std::printf("sws_getContext failed\n");
    return 1;
  }
  const uint8_t* src[3] = {Y.data(), U.data(), V.data()};
  const int srcStride[3] = {kW, cw, cw};
  uint8_t* dst[1] = {sws.data()};
  const int dstStride[1] = {kW * 3};
  auto convertSws = [&] { sws_scale(ctx, src, srcStride, 0, kH, dst, dstStride); };
  convertSws();
  size_t differ = 0;
  for (size_t i = 0; i < sws.size(); ++i) differ += sws[i] != ref[i];

  const double tOurs = tqbench::bestSeconds(convertOurs, reps, 10);
  const double tSws = tqbench::bestSeconds(convertSws, reps, 10);
  tqbench::keep(ours);
  tqbench::keep(sws);
  sws_freeContext(ctx);
  std::printf("row kernel bit-exact to the formula: yes; swscale differs from it on %.1f%% of bytes\n",
              100.0 * double(differ) / double(sws.size()));
  tqbench::report("yuv420RowToRgb24 1920x1080 (1 thread)", tOurs, "swscale bilinear", tSws);
  return 0;
}

// ---------------------------------------------------------------- 2. decode

// A plain libavcodec decode + swscale loop over the same file and decoder threads.
struct PlainLoop {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  int stream = -1;

  bool open(const std::string& path) {
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
    if (avformat_find_stream_info(fmt, nullptr) < 0) return false;
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) return false;
    const AVCodec* codec = avcodec_find_decoder(fmt->streams[stream]->codecpar->codec_id);
    dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar);
    dec->thread_count = 4;
    dec->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(dec, codec, nullptr) < 0) return false;
    pkt = av_packet_alloc();
    frame = av_frame_alloc();
    sws = sws_getContext(dec->width, dec->height, dec->pix_fmt, dec->width, dec->height, AV_PIX_FMT_RGB24,
                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    return sws != nullptr;
  }
  // Decodes and converts every frame from the start; returns the count.
  int playAll(uint8_t* rgb, int W) {
    av_seek_frame(fmt, stream, 0, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(dec);
    int n = 0;
    bool eof = false;
    for (;;) {
      int r = avcodec_receive_frame(dec, frame);
      if (r == AVERROR(EAGAIN)) {
        if (eof) break;
        if (av_read_frame(fmt, pkt) < 0) {
          eof = true;
          avcodec_send_packet(dec, nullptr);
          continue;
        }
        if (pkt->stream_index == stream) avcodec_send_packet(dec, pkt);
        av_packet_unref(pkt);
        continue;
      }
      if (r < 0) break;
      uint8_t* dst[1] = {rgb};
      const int dstStride[1] = {W * 3};
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
      av_frame_unref(frame);
      ++n;
    }
    return n;
  }
  ~PlainLoop() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
};

int benchDecode(int frames, int reps) {
  char tmpl[] = "/tmp/tq_bench_driver.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const std::string movie = dir + "/driver1080.mp4";
  // The host ffmpeg tool, also when this binary runs under an emulator.
  const std::string cmd = "env -u LD_LIBRARY_PATH -u QEMU_LD_PREFIX ffmpeg -y -loglevel error -f lavfi -i "
                          "testsrc2=size=1920x1080:rate=25 -frames:v " +
                          std::to_string(frames) + " -pix_fmt yuv420p -c:v libx264 -preset veryfast '" + movie + "'";
  int rc = std::system(cmd.c_str());
  if (rc != 0) {
    std::printf("could not write the 1080p movie with the ffmpeg tool (%d)\n", rc);
    return 1;
  }
  setenv("TQ_DRIVER_HWDEC", "0", 1);  // the same software decoder on both sides
  int result = 0;
  {
    tq::driver::SourcePtr src = tq::driver::openMp4(movie, frames, kW, kH);
    std::vector<uint8_t> rgb(src->frameBytes()), rgb2(src->frameBytes());
    int got = 0;
    auto playOurs = [&] {
      src->rewind();
      got = 0;
      while (got < frames && src->next(rgb.data())) ++got;
    };
    PlainLoop plain;
    if (!plain.open(movie)) {
      std::printf("plain libavcodec loop could not open %s\n", movie.c_str());
      result = 1;
    } else {
      int gotPlain = 0;
      auto playPlain = [&] { gotPlain = plain.playAll(rgb2.data(), kW); };
      const double tOurs = tqbench::bestSeconds(playOurs, reps, 1) / frames;
      const double tPlain = tqbench::bestSeconds(playPlain, reps, 1) / frames;
      tqbench::keep(rgb);
      tqbench::keep(rgb2);
      std::printf("decoded %d frames (ours) and %d (plain loop), 4 decoder threads, %s\n", got, gotPlain,
                  src->name().c_str());
      if (got != frames || gotPlain != frames) result = 1;
      tqbench::report("FfSource::next 1080p H.264, per frame", tOurs, "avcodec+swscale", tPlain);
      std::printf("frame rate: ours %.1f fps, plain loop %.1f fps, ratio %.3f\n", 1.0 / tOurs, 1.0 / tPlain,
                  tPlain / tOurs);

      // The same movie through the cursor: its decoder thread runs ahead of the consumer.
      auto cursor = tq::DriverCursor::over(tq::driver::openMp4(movie, frames, kW, kH), 2, 11);
      std::vector<uint8_t> out(cursor->frameBytes);
      cursor->pull(out.data());  // first frame: start-up, not playback
      auto playCursor = [&] {
        for (int k = 0; k < frames; ++k) cursor->pull(out.data());
      };
      const double tCursor = tqbench::bestSeconds(playCursor, reps, 1) / frames;
      tqbench::report("DriverCursor::pull 1080p H.264, per frame", tCursor, "avcodec+swscale", tPlain);
      std::printf("cursor frame rate %.1f fps, ratio to the plain loop %.3f (goal >= 0.95)\n", 1.0 / tCursor,
                  tPlain / tCursor);

      // Steps back into history and forward into the look-ahead decode nothing.
      int idx = 0;
      const int64_t seeksBefore = cursor->seeks();
      const int at = cursor->position();
      const int backs = std::min(10, frames - 1);
      for (int back = 1; back <= backs; ++back) cursor->pullAt(((at - back) % frames + frames) % frames, &idx);
      const int64_t historySeeks = cursor->seeks() - seeksBefore;
      cursor->pullAt((at + frames / 2) % frames, &idx);
      std::printf("pullAt over %d history frames: %lld source seeks; a jump outside the ring: %lld\n", backs,
                  static_cast<long long>(historySeeks), static_cast<long long>(cursor->seeks() - seeksBefore));
      const size_t ring = 14 * cursor->frameBytes;
      std::printf("resident: %.1f MiB (ring of 14 frames %.1f MiB + decoder estimate %.1f MiB), independent of NT\n",
                  cursor->residentBytes() / 1048576.0, ring / 1048576.0,
                  (cursor->residentBytes() - ring) / 1048576.0);
      if (historySeeks != 0) result = 1;
    }
  }
  unlink(movie.c_str());
  rmdir(dir.c_str());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  std::printf("vector target: %s\n", tq::simd::target());
  int rc = benchRowKernel(q ? 2 : 20);
  rc |= benchDecode(q ? 3 : 60, q ? 1 : 5);
  return rc;
}
