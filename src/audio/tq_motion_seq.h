// Frame arithmetic of the motion sequence: pose smoothing, chunk cross-fade,
// range clamping, driver-frame walking.
#pragma once

namespace tq {
namespace motion {

// out = pose part (first 202 values) averaged over the frames prev, cur, next
// that exist (prev or next null when outside the sequence); the expression
// part is copied from cur.
void smoothFrame(const float* prev, const float* cur, const float* next, float* out);

// Overlap frame i (0..9) of a cross-fade: (1 - i/10) old + (i/10) predicted, in place on old.
void crossFadeFrame(float* old, const float* predicted, int i);

// Every value into [lo[k], hi[k]].
void clampFrame(float* frame, const float* lo, const float* hi);

// Driver frame after d: wrap mode walks modulo nt; bounce mode turns at either
// end. dir is updated in bounce mode.
int nextDriverIndex(int d, int* dir, int nt, bool wrap);

}  // namespace motion
}  // namespace tq
