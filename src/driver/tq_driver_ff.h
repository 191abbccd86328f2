// Movie frame sources over FFmpeg: the H.264 4:2:0 driver movie (RGB24 frames) and
// the HEVC 4:4:4 warp-prior movie (planar binary16 crops).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/tq_driver_source.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace tq {
namespace driver {

// H.264 4:2:0 driver movie decoded to interleaved RGB24 frames of W x H (rows top
// to bottom, R, G, B). Opens the file, checks it against NT, W and H and picks the
// decoder at once, so every refusal of a mismatching member happens here.
SourcePtr openMp4(const std::string& path, int NT, int W, int H);

// HEVC 4:4:4 warp-prior movie decoded to three planes (R, G, B) of side x side
// binary16 values v / 255.
SourcePtr openPriorHevc(const std::string& path, int NT, int side);

// A movie member decoded frame by frame. Mismatches with the expected geometry,
// frame count or pixel layout are refused, never converted.
class FfSource final : public Source {
 public:
  enum Mode : int32_t { kDriver = 0, kPrior = 1 };

  FfSource(int mode, std::string path, int NT, int W, int H);
  ~FfSource() override;
  FfSource(const FfSource&) = delete;
  FfSource& operator=(const FfSource&) = delete;

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }
  std::size_t frameBytes() const override;
  bool next(uint8_t* out) override;
  void rewind() override;
  void seek(int i) override;
  std::string name() const override { return label_; }
  std::size_t residentBytes() const override;

  // Opens the container and the decoder; throws on any refusal.
  void open();

 private:
  void close();
  void convertDriver(const AVFrame* f, uint8_t* out) const;
  void convertPrior(const AVFrame* f, uint8_t* out) const;
  [[noreturn]] void fault(const std::string& what) const;

  int32_t mode_;
  std::string path_;
  int32_t NT_, W_, H_;
  uint16_t toHalf_[256];
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int32_t streamIndex_ = -1;
  bool flushed_ = false;
  int32_t decoded_ = 0;
  int32_t maxPacket_ = 0;
  std::string label_;
};

}  // namespace driver

// "libavcodec <major.minor.micro> / <configuration>" of the libavcodec this library
// was built against.
std::string movieDecoderBuild();

}  // namespace tq
