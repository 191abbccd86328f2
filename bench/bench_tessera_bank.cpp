// Bank track decoding: decodeBankTrack (memory I/O, decode, RGB24 conversion into
// donor slots) against decoding alone (the same file demuxed and decoded by
// libavcodec, with no conversion and no copy), for a lossless RGB track and a
// yuv420p track written by the ffmpeg tool at run time. Goal: ratio <= 1.2.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_util.h"
#include "tessera/tq_bankdec_ff.h"

namespace {

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Demux and decode every picture of path on one thread; returns the count.
int decodeOnly(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
  int n = -1;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  const int vs = avformat_find_stream_info(fmt, nullptr) < 0
                     ? -1
                     : av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (vs >= 0) {
    const AVCodec* codec = avcodec_find_decoder(fmt->streams[vs]->codecpar->codec_id);
    dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, fmt->streams[vs]->codecpar);
    dec->thread_count = 1;
    if (avcodec_open2(dec, codec, nullptr) == 0) {
      n = 0;
      auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) == 0) {
          ++n;
          av_frame_unref(frame);
        }
      };
      while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == vs) {
          avcodec_send_packet(dec, pkt);
          drain();
        }
        av_packet_unref(pkt);
      }
      avcodec_send_packet(dec, nullptr);
      drain();
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return n;
}

int benchTrack(const std::string& dir, const char* name, int n, int w, int h, int reps) {
  const std::string path = dir + "/" + name;
  const std::vector<uint8_t> bytes = slurp(path);
  const std::vector<int32_t> order = [&] {
    std::vector<uint8_t> b = slurp(dir + "/order.i32");
    std::vector<int32_t> o(b.size() / 4);
    std::memcpy(o.data(), b.data(), o.size() * 4);
    return o;
  }();
  std::vector<uint8_t> bank;
  int plain = 0;
  // Rounds alternate between the two so that a busy machine slows both alike; best of each.
  double ours = 1e30, ref = 1e30;
  for (int r = 0; r < reps; ++r) {
    ours = std::min(ours, tqbench::bestSeconds(
                              [&] { bank = tq::tessera::decodeBankTrack(bytes.data(), bytes.size(), n, w, h, order); },
                              1, 1));
    ref = std::min(ref, tqbench::bestSeconds([&] { plain = decodeOnly(path); }, 1, 1));
  }
  tqbench::keep(bank);
  if (plain != n || bank.size() != size_t(n) * w * h * 3) {
    std::printf("%s: decoded %d frames, expected %d\n", name, plain, n);
    return 1;
  }
  tqbench::report(std::string("decodeBankTrack ") + name + " " + std::to_string(n) + " x " + std::to_string(w) +
                      "x" + std::to_string(h),
                  ours, "decode alone", ref, "us");
  std::printf("  ratio %.3f (goal <= 1.2)\n", ours / ref);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool q = tqbench::quick(argc, argv);
  const int n = q ? 32 : 512, w = 96, h = 64;
  char tmpl[] = "/tmp/tq_bench_bank.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const std::string cmd = "env -u LD_LIBRARY_PATH -u QEMU_LD_PREFIX /usr/bin/python3 '" TQ_SOURCE_DIR
                          "/tools/tq_fixtures.py' bank-tracks '" + dir + "' --n " + std::to_string(n) +
                          " --size " + std::to_string(w) + "x" + std::to_string(h) + " > /dev/null";
  int rc = std::system(cmd.c_str()) != 0;
  if (rc) std::printf("could not write the bank tracks with the fixture tool\n");
  if (!rc) rc |= benchTrack(dir, "lossless.mp4", n, w, h, q ? 1 : 9);
  if (!rc) rc |= benchTrack(dir, "yuv.mp4", n, w, h, q ? 1 : 9);
  std::system(("rm -rf '" + dir + "'").c_str());
  return rc;
}
