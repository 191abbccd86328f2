// The session's inbox: pushed audio split into utterances by end marks.
#include <algorithm>

#include "session/tq_utt_session.h"

namespace tq {
namespace utt {

void Inbox::push(const int16_t* pcm, int n, double now) {
  if (n <= 0) return;
  const std::size_t at = samples.size();
  samples.resize(at + static_cast<std::size_t>(n));
  float* dst = samples.data() + at;
  for (int i = 0; i < n; ++i) dst[i] = pcm[i] * 3.0517578e-5f;
  if (!openPushed) {
    openPushed = true;
    openFirstPushMs = now;
  }
}

void Inbox::end() {
  if (!ends.empty() && ends.back().at == samples.size()) return;
  ends.push_back(End{samples.size(), openPushed ? openFirstPushMs : 0.0});
  openPushed = false;
}

bool Inbox::take(std::vector<float>& out, double* firstPushMs) {
  out.clear();
  if (ends.empty()) {
    *firstPushMs = openPushed ? openFirstPushMs : 0.0;
    openPushed = false;
    out.swap(samples);
    return false;
  }
  const End e = ends.front();
  ends.erase(ends.begin());
  out.assign(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(e.at));
  samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(e.at));
  for (End& later : ends) later.at -= e.at;
  *firstPushMs = e.firstPushMs;
  return true;
}

}  // namespace utt
}  // namespace tq
