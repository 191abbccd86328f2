// Unpacking under resource limits: a file system with too little space left, a
// read-only model directory, and a process near its descriptor limit. Each is
// refused through the public entry point with its full text and leaves neither
// a member, a ".part" file nor a marker behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "bundle_test_util.h"

using namespace bundletest;
using tqtest::fileExists;

namespace {

// Runs `fn` in a child process with a mount namespace of its own (a user
// namespace too when not root) and returns what it wrote; "skip: ..." when the
// machine allows no such namespace.
std::string inMountNamespace(const std::function<std::string()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) return "skip: no pipe";
  const uid_t uid = geteuid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    if (unshare(CLONE_NEWNS | (uid ? CLONE_NEWUSER : 0)) != 0) {
      out = "skip: no mount namespace";
    } else {
      if (uid) tqtest::writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
      out = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? fn() : "skip: mounts not private";
    }
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

// The names in a directory, "." and ".." left out.
std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

class LimitsTest : public ::testing::Test {
 protected:
  std::string t(const std::string& name) const { return t_ / name; }
  tqtest::TempDir t_;
  tqtest::ScopedEnv noRoot_{"TQ_IMX_UNWRAP_ROOT", nullptr};
};

TEST_F(LimitsTest, MemberLargerThanTheSpaceLeft) {
  ASSERT_TRUE(writeImx(t("c.imx"), {text("small", "s"), pattern("big", 1 << 20)}));
  ASSERT_EQ(mkdir(t("small_fs").c_str(), 0755), 0);
  tqtest::ScopedEnv root("TQ_IMX_UNWRAP_ROOT", t("small_fs").c_str());
  const std::string got = inMountNamespace([&] {
    if (mount("tmpfs", t("small_fs").c_str(), "tmpfs", 0, "size=256k") != 0) return std::string("skip: no tmpfs");
    struct statvfs before, after;
    statvfs(t("small_fs").c_str(), &before);
    const Resolved r = resolveHandle(t("c.imx"));
    statvfs(t("small_fs").c_str(), &after);
    // Whatever the failed copy took is given back.
    const bool freed = after.f_bfree + 1 >= before.f_bfree - 1;
    return std::to_string(r.rc) + "|" + r.err + "|" + (fileExists(t("small_fs/c.tqbundle/big")) ? "big" : "") +
           (fileExists(t("small_fs/c.tqbundle/big.part")) ? "part" : "") + "|" + (freed ? "freed" : "kept");
  });
  if (got.rfind("skip: ", 0) == 0) GTEST_SKIP() << got;
  EXPECT_EQ(got, "-1|tq_bundle_resolve_handle: short write materialising " + t("small_fs/c.tqbundle/big") + "||freed");
}

TEST_F(LimitsTest, ReadOnlyModelDirectory) {
  ASSERT_EQ(mkdir(t("models").c_str(), 0755), 0);
  ASSERT_TRUE(writeImx(t("models/cold.imx"), {text("manifest.json", "{}")}));
  ASSERT_TRUE(writeImx(t("models/warm.imx"), {text("manifest.json", "{}")}));
  ASSERT_EQ(resolveHandle(t("models/warm.imx")).rc, 1);
  const std::set<std::string> before = listing(t("models"));
  const std::string got = inMountNamespace([&] {
    const std::string models = t("models");
    const char* dir = models.c_str();
    if (mount(dir, dir, nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, dir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      return std::string("skip: no read-only bind mount");
    const Resolved cold = resolveHandle(t("models/cold.imx")), warm = resolveHandle(t("models/warm.imx"));
    return std::to_string(cold.rc) + "|" + cold.err + "|" + std::to_string(warm.rc) + "|" + warm.out;
  });
  if (got.rfind("skip: ", 0) == 0) GTEST_SKIP() << got;
  // The unpacked copy made earlier still serves; the new container is refused.
  EXPECT_EQ(got, "-1|tq_bundle_resolve_handle: cannot create unwrap dir " + t("models/cold.tqbundle") + "|1|" +
                     t("models/warm.tqbundle"));
  EXPECT_EQ(listing(t("models")), before);
}

TEST_F(LimitsTest, NearTheDescriptorLimit) {
  ASSERT_TRUE(writeImx(t("c.imx"), {text("x", "payload")}));
  const std::string u = t("c.tqbundle");
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  // Descriptors the unpack may still open, and the refusal each leaves it with.
  const std::pair<int, std::string> cases[] = {{1, "cannot open container " + t("c.imx")},
                                               {2, "cannot create " + u},
                                               {3, "cannot write " + u + "/x.part"}};
  for (const auto& [spare, message] : cases) {
    SCOPED_TRACE(spare);
    rlim_t limit = 0;
    for (int left = spare; left > 0; ++limit)
      if (fcntl(static_cast<int>(limit), F_GETFD) == -1) --left;
    struct rlimit l = old;
    l.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &l), 0);
    const Resolved r = resolveHandle(t("c.imx"));
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(std::make_pair(r.rc, r.err), std::make_pair(-1, "tq_bundle_resolve_handle: " + message));
    EXPECT_TRUE(listing(u).empty());
    EXPECT_FALSE(fileExists(u + ".imx_unwrapped"));
  }
  EXPECT_EQ(resolveHandle(t("c.imx")).rc, 1);
  EXPECT_EQ(tqtest::readText(u + "/x"), "payload");
}

}  // namespace
