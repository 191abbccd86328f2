// Driver cursor: decoder thread, ring with look-ahead and history, bundle openers.
#include "driver/tq_driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/tq_log.h"
#include "compute/tq_env.h"
#include "bundle/tq_bundle.h"
#include "driver/tq_driver_ff.h"

namespace tq {

struct DriverCursor::Impl {
  driver::SourcePtr src;
  int32_t NT = 0;
  int32_t W = 0;
  int32_t H = 0;
  std::size_t frameBytes = 0;
  int32_t ahead = 1;
  int32_t hist = 0;
  int32_t slots = 2;
  std::vector<std::vector<uint8_t>> ring;  // frame of sequence s lives in ring[s % slots]
  std::vector<int32_t> slotFrame;          // frame index per slot, -1 when it holds none

  mutable std::mutex stateLock;  // every field below; never held while the source works
  std::mutex userLock;           // one consumer operation at a time
  std::condition_variable workCv;
  std::condition_variable readyCv;
  uint64_t taken = 0;         // sequence of the next frame handed out
  uint64_t produced = 0;      // sequence of the next frame decoded
  uint64_t historyFloor = 0;  // lowest sequence a seek may reuse
  bool decoding = false;      // the slot of `produced` is being written
  int32_t nextIdx = 0;        // frame index the decoder produces next
  int32_t pos = 0;            // frame index the consumer expects next
  int32_t srcPos = 0;         // the source's own position
  int32_t pendingSeek = -1;   // requested source seek, -1 when none
  uint64_t epoch = 0;         // bumped by every source seek request
  bool stop = false;
  std::string error;  // first failure, sticky
  uint64_t seeks = 0;
  std::thread thread;

  // The source's residentBytes(), refreshed by the decoder thread after each
  // call into the source so that readers never touch the source concurrently.
  std::atomic<std::size_t> srcResident{0};

  Impl(driver::SourcePtr s, int aheadArg, int histArg) : src(std::move(s)) {
    if (!src) throw std::runtime_error("tq_driver: a cursor needs a frame source");
    NT = src->NT();
    W = src->W();
    H = src->H();
    frameBytes = src->frameBytes();
    ahead = std::max(aheadArg, 1);
    hist = std::max(histArg, 0);
    slots = ahead + hist + 1;
    ring.assign(static_cast<std::size_t>(slots), std::vector<uint8_t>(frameBytes));
    slotFrame.assign(static_cast<std::size_t>(slots), -1);
    srcResident.store(src->residentBytes(), std::memory_order_relaxed);
  }

  void start() { thread = std::thread([this] { run(); }); }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lk(stateLock);
      stop = true;
    }
    workCv.notify_all();
    readyCv.notify_all();
    if (thread.joinable()) thread.join();
  }

  uint8_t* slotOf(uint64_t seq) { return ring[seq % static_cast<uint64_t>(slots)].data(); }
  int32_t& frameOf(uint64_t seq) { return slotFrame[seq % static_cast<uint64_t>(slots)]; }

  void refreshResident() {
    srcResident.store(src->residentBytes(), std::memory_order_relaxed);
  }

  // Records the first failure and wakes every waiting consumer.
  void fail(const std::string& msg) {
    {
      std::lock_guard<std::mutex> lk(stateLock);
      if (error.empty()) error = msg;
    }
    readyCv.notify_all();
  }

  void run() {
    std::unique_lock<std::mutex> lk(stateLock);
    for (;;) {
      workCv.wait(lk, [this] {
        return stop || pendingSeek >= 0 || produced - taken < static_cast<uint64_t>(ahead);
      });
      if (stop) return;

      if (pendingSeek >= 0) {
        const int32_t target = pendingSeek;
        nextIdx = target;
        pendingSeek = -1;
        lk.unlock();
        try {
          src->seek(target);
          refreshResident();
        } catch (const std::exception& e) {
          fail(std::string("tq_driver: seek failed: ") + e.what());
          return;
        }
        lk.lock();
        srcPos = target;
        continue;
      }

      const uint64_t seq = produced;
      const int32_t idx = nextIdx;
      const uint64_t myEpoch = epoch;
      int32_t at = srcPos;
      uint8_t* dst = slotOf(seq);
      decoding = true;
      lk.unlock();

      bool ok = false;
      try {
        if (at == NT) {
          src->rewind();
          at = 0;
        }
        ok = src->next(dst);
        refreshResident();
      } catch (const std::exception& e) {
        fail(std::string("tq_driver: ") + e.what());
        return;
      }
      if (!ok) {
        fail("tq_driver: " + src->name() + " ended after " + std::to_string(at) +
             " frames, the manifest says NT=" + std::to_string(NT) +
             " — a short driver is a session that stops part way through the loop, refusing");
        return;
      }

      lk.lock();
      decoding = false;
      srcPos = at + 1;
      if (epoch == myEpoch) {
        frameOf(seq) = idx;
        ++produced;
        nextIdx = (idx + 1) % NT;
        readyCv.notify_all();
      } else {
        // Decoded across a seek: dropped. Its slot no longer holds the frame
        // the bookkeeping says it does, so it must never be found again.
        frameOf(seq) = -1;
      }
    }
  }

  // Hands out the frame of sequence `taken`, waiting for the decoder if needed.
  uint8_t* take(bool mut, int* idx) {
    std::unique_lock<std::mutex> lk(stateLock);
    for (;;) {
      if (!error.empty()) throw std::runtime_error(error);
      if (produced > taken) break;
      readyCv.wait(lk);
    }
    const uint64_t seq = taken++;
    if (mut) historyFloor = taken;
    workCv.notify_one();
    const int32_t frame = frameOf(seq);
    pos = (frame + 1) % NT;
    if (idx) *idx = frame;
    return slotOf(seq);
  }

  void seek(int i) {
    if (i < 0 || i >= NT)
      throw std::runtime_error("tq_driver: seek(" + std::to_string(i) + ") outside [0," +
                               std::to_string(NT) + ")");
    std::lock_guard<std::mutex> lk(stateLock);
    if (!error.empty()) throw std::runtime_error(error);
    pos = i;

    const int32_t upcoming =
        produced > taken ? frameOf(taken) : (pendingSeek >= 0 ? pendingSeek : nextIdx);
    if (upcoming == i) return;

    if (pendingSeek < 0) {
      uint64_t lo = historyFloor;
      const uint64_t nslots = static_cast<uint64_t>(slots);
      if (produced >= nslots) lo = std::max(lo, produced - nslots + (decoding ? 1 : 0));
      const uint64_t keep = static_cast<uint64_t>(hist) + 1;
      if (taken > keep) lo = std::max(lo, taken - keep);
      for (uint64_t s = lo; s < produced; ++s) {
        if (frameOf(s) == i) {
          taken = s;
          workCv.notify_one();
          return;
        }
      }
      if (nextIdx == i) {
        taken = produced;
        workCv.notify_one();
        return;
      }
    }

    taken = produced;
    pendingSeek = i;
    ++epoch;
    ++seeks;
    workCv.notify_one();
  }

  uint8_t* pullAtLocked(int i, bool mut, int* idx) {
    seek(i);
    int got = -1;
    uint8_t* p = take(mut, &got);
    if (got != i)
      throw std::runtime_error("tq_driver: cursor yielded frame " + std::to_string(got) +
                               " for si=" + std::to_string(i));
    if (idx) *idx = got;
    return p;
  }

  uint8_t* pullLocked(bool mut, int* idx) {
    int at;
    {
      std::lock_guard<std::mutex> lk(stateLock);
      at = pos;
    }
    seek(at);
    return take(mut, idx);
  }
};

DriverCursor::DriverCursor(driver::SourcePtr src, int ahead, int hist)
    : impl_(new Impl(std::move(src), ahead, hist)) {
  NT = impl_->NT;
  W = impl_->W;
  H = impl_->H;
  frameBytes = impl_->frameBytes;
  backend = impl_->src->name();
  impl_->start();
}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(driver::SourcePtr src, int ahead, int hist) {
  return std::unique_ptr<DriverCursor>(new DriverCursor(std::move(src), ahead, hist));
}

int DriverCursor::pull(uint8_t* out) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  int idx = -1;
  const uint8_t* p = impl_->pullLocked(false, &idx);
  std::memcpy(out, p, frameBytes);
  return idx;
}

const uint8_t* DriverCursor::pull(int* idx) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  return impl_->pullLocked(false, idx);
}

uint8_t* DriverCursor::pullMut(int* idx) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  return impl_->pullLocked(true, idx);
}

int DriverCursor::pullAt(int i, uint8_t* out) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  const uint8_t* p = impl_->pullAtLocked(i, false, nullptr);
  std::memcpy(out, p, frameBytes);
  return i;
}

const uint8_t* DriverCursor::pullAt(int i, int* idx) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  return impl_->pullAtLocked(i, false, idx);
}

uint8_t* DriverCursor::pullMutAt(int i, int* idx) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  return impl_->pullAtLocked(i, true, idx);
}

void DriverCursor::seek(int i) {
  std::lock_guard<std::mutex> user(impl_->userLock);
  impl_->seek(i);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->stateLock);
  return impl_->pos;
}

int64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->stateLock);
  return static_cast<int64_t>(impl_->seeks);
}

std::size_t DriverCursor::residentBytes() const {
  return static_cast<std::size_t>(impl_->slots) * impl_->frameBytes +
         impl_->srcResident.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------- bundle openers

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string framePath(const std::string& dir, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
  return dir + name;
}

std::string manifestText(const Manifest& m) { return readFile(m.dir + "/manifest.json"); }

}  // namespace

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int ahead, int hist) {
  const std::string text = manifestText(m);
  std::string jpgName = "target_frames";
  std::string movieName = "target_frames.mp4";
  manifest_key::optStr(text, "target_frames", jpgName);
  manifest_key::optStr(text, "target_frames_mp4", movieName);

  const std::string jpgDir = m.dir + "/" + jpgName;
  const bool populated = m.NT >= 1 && exists(framePath(jpgDir, m.NT - 1));
  const std::string moviePath = resolveMember(m.dir, movieName);
  const bool haveMovie = exists(moviePath);

  const char* prefer = env::raw("TQ_DRIVER_PREFER_MP4");
  const bool preferMovie = prefer && std::strcmp(prefer, "1") == 0;

  if (preferMovie && haveMovie) {
    if (populated)
      tq::logText(TQ_LOG_WARNING,
                   "[tq-driver] TQ_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is "
                   "the member this consumer reads\n",
                   jpgName.c_str(), movieName.c_str());
  } else if (populated) {
    tq::logText(TQ_LOG_INFO, "[tq-driver] %s/ (raw jpg, %d frames) — read one frame per pull\n",
                 jpgName.c_str(), m.NT);
    return over(driver::openJpgDir(jpgDir, m.NT, m.W, m.H), ahead, hist);
  } else if (!haveMovie) {
    throw std::runtime_error("this bundle carries neither a populated " + jpgName + "/ nor " +
                             movieName + " (" + moviePath +
                             ") — there is no driver video to play. REFUSING to create a session.");
  }

  driver::SourcePtr src = driver::openMp4(moviePath, m.NT, m.W, m.H);
  const std::string srcName = src->name();
  tq::logText(TQ_LOG_INFO,
               "[tq-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) "
               "— no frame of the driver is expanded ahead of the paste\n",
               movieName.c_str(), srcName.c_str(), m.NT, m.W, m.H, std::max(ahead, 1),
               std::max(hist, 0));
  return over(std::move(src), ahead, hist);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int ahead, int hist) {
  const std::string text = manifestText(m);
  std::string name = "P_hevc.mov";
  manifest_key::optStr(text, "P_hevc", name);
  const std::string path = resolveMember(m.dir, name);
  if (!exists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");

  driver::SourcePtr src = driver::openPriorHevc(path, m.NT, m.crop);
  const std::string srcName = src->name();
  tq::logText(TQ_LOG_INFO,
               "Vexamo: identity source ready — %d frames %dx%d, played straight from %s (%s); "
               "nothing is unpacked to disk\n",
               m.NT, m.crop, m.crop, name.c_str(), srcName.c_str());
  return over(std::move(src), ahead, hist);
}

}  // namespace tq
