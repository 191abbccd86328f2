// The audio-to-motion engine as the utterance session sees it: the handful of
// calls its dispatcher makes, behind one interface so that the session picks
// the streaming a2x engine or the motion pipeline once, at creation.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "audio/tq_engine_times.h"

namespace tq {
namespace utt {

struct Options;

class Engine {
 public:
  virtual ~Engine() = default;
  virtual void setEager(int eager) = 0;
  virtual void reset(int start, int dir, int wrap) = 0;
  virtual void push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  virtual int avail() = 0;
  virtual int pull(int* idx, float* srcKp, float* drvKp, int max) = 0;
  virtual int total() = 0;
  // Rows of rest keypoints the engine walks (its NT).
  virtual int nt() = 0;
  // Moves the failure text the engine's calls on this thread left since the
  // last take into `text`; false when there is none. Both engines report
  // failures only through their error text (a failed avail or pull is also a
  // valid 0).
  virtual bool takeError(std::string& text) = 0;
  // Time spent per stage since creation; engines that do not keep it say 0.
  virtual EngineTimes times() { return {}; }
};

// Creates an engine; throws std::runtime_error carrying the engine's own error
// text when it cannot.
using EngineFactory = std::function<std::unique_ptr<Engine>(const Options&)>;

// The engine the options name: a2x when the motion directory holds the
// streaming encoder, the motion pipeline otherwise.
EngineFactory realEngine();

}  // namespace utt
}  // namespace tq
