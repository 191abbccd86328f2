// Unpacking into a read-only model directory and near the descriptor limit:
// refused with the full text, nothing left behind. (A full disk: imx_test.)
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include "bundle_test_util.h"

using namespace bundletest;

namespace {

TEST(LimitsTest, ReadOnlyModelDirectory) {
  tqtest::TempDir t;
  tqtest::ScopedEnv noRoot("TQ_IMX_UNWRAP_ROOT", nullptr);
  const std::string m = t / "models";
  ASSERT_EQ(mkdir(m.c_str(), 0755), 0);
  for (const char* k : {"/cold.imx", "/warm.imx"}) ASSERT_TRUE(writeImx(m + k, {text("manifest.json", "{}")}));
  ASSERT_EQ(resolveHandle(m + "/warm.imx").rc, 1);
  // A mount namespace of this process's own (and a user namespace unless root) makes the directory read-only.
  const uid_t uid = geteuid();
  if (unshare(CLONE_NEWNS | (uid ? CLONE_NEWUSER : 0)) != 0) GTEST_SKIP() << "no mount namespace";
  if (uid) tqtest::writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || mount(m.c_str(), m.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "no bind mount";
  ASSERT_EQ(mount(nullptr, m.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  const Resolved cold = resolveHandle(m + "/cold.imx"), warm = resolveHandle(m + "/warm.imx");
  umount(m.c_str());
  EXPECT_EQ(std::make_pair(cold.rc, cold.err), std::make_pair(-1, "tq_bundle_resolve_handle: cannot create unwrap dir " + m + "/cold.tqbundle"));
  EXPECT_EQ(std::make_pair(warm.rc, warm.out), std::make_pair(1, m + "/warm.tqbundle"));  // unpacked earlier, still served
  EXPECT_FALSE(tqtest::fileExists(m + "/cold.tqbundle") || tqtest::fileExists(m + "/cold.tqbundle.imx_unwrapped"));
}

TEST(LimitsTest, NearTheDescriptorLimit) {
  tqtest::TempDir t;
  tqtest::ScopedEnv noRoot("TQ_IMX_UNWRAP_ROOT", nullptr);
  const std::string k = t / "c.imx", u = t / "c.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("x", "payload")}));
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  // Descriptors the unpack may still open, and where it runs out.
  const std::pair<int, std::string> cases[] = {
      {1, "cannot open container " + k}, {2, "cannot create " + u}, {3, "cannot write " + u + "/x.part"}};
  for (const auto& [spare, message] : cases) {
    struct rlimit l = old;
    l.rlim_cur = 0;
    for (int left = spare; left > 0; ++l.rlim_cur) left -= fcntl(static_cast<int>(l.rlim_cur), F_GETFD) == -1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &l), 0);
    const Resolved r = resolveHandle(k);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(std::make_pair(r.rc, r.err), std::make_pair(-1, "tq_bundle_resolve_handle: " + message));
    EXPECT_EQ(rmdir(u.c_str()), 0) << spare;  // left empty
    EXPECT_FALSE(tqtest::fileExists(u + ".imx_unwrapped"));
  }
  EXPECT_EQ(resolveHandle(k).rc, 1);
  EXPECT_EQ(tqtest::readText(u + "/x"), "payload");
}

}  // namespace
