// Bundle path resolution and IMX container unpacking, through the C entry
// points tq_bundle_resolve_handle / tq_bundle_resolve_member.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/tq_imx.h"
#include "bundle_test_util.h"
#include "tq/tq.h"
#include "tq_test_util.h"

using namespace bundletest;
using tqtest::fileExists;
using tqtest::readText;
using tqtest::ScopedEnv;
using tqtest::TempDir;
using tqtest::writeText;

namespace {

class ImxTest : public ::testing::Test {
 protected:
  // Resolves quietly, returning the C function's result; the unwrap log line
  // is kept in log_.
  Resolved resolve(const std::string& path, std::size_t cap = 4096) {
    testing::internal::CaptureStderr();
    Resolved r = resolveHandle(path, cap);
    log_ = testing::internal::GetCapturedStderr();
    return r;
  }
  // Resolving `k` must fail with exactly `message` and leave no marker.
  void expectRefused(const std::string& k, const std::string& message) {
    const Resolved r = resolve(k);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(("tq_bundle_resolve_handle: " + message).c_str()));
    EXPECT_FALSE(fileExists(imxMarker(k)));
  }
  static std::string imxMarker(const std::string& k) { return tq::imxUnwrapDir(k) + ".imx_unwrapped"; }
  std::string unwrapLog(const std::string& k, const std::string& u) const {
    return "[tq] unwrapped " + k + " -> " + u + "\n";
  }

  TempDir t_;
  std::string log_;
  ScopedEnv noRoot_{"TQ_IMX_UNWRAP_ROOT", nullptr};
};

// ------------------------------------------------------------------ resolution

TEST_F(ImxTest, DirectoriesAndOtherPathsPassThrough) {
  ASSERT_EQ(mkdir((t_ / "plain").c_str(), 0755), 0);
  for (const std::string& p : {t_ / "plain/", t_ / "plain", t_ / "absent", t_ / "absent.imx"}) {
    const Resolved r = resolve(p);
    EXPECT_EQ(r.rc, 1) << p;
    EXPECT_EQ(r.out, p);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(resolve("").out, "");

  // Not a version-2 container: returned as given, nothing unpacked.
  struct Case {
    const char* file;
    std::string top;
  };
  for (const Case& c : {Case{"v1.imx", "\"version\": 1"}, Case{"magic.imx", "\"magic_hex\": \"494d5900\""},
                        Case{"short.imx", "\"truncate\": 7"}}) {
    const std::string k = t_ / c.file;
    ASSERT_TRUE(writeImx(k, {text("a", "b")}, c.top));
    const Resolved r = resolve(k);
    EXPECT_EQ(r.rc, 1) << c.file;
    EXPECT_EQ(r.out, k);
    EXPECT_FALSE(tq::isImxV2File(k)) << c.file;
    EXPECT_FALSE(fileExists(tq::imxUnwrapDir(k))) << c.file;
  }
  EXPECT_FALSE(tq::isImxV2File(""));
  EXPECT_FALSE(tq::isImxV2File(t_ / "plain"));
}

TEST_F(ImxTest, ContainerUnpacksBesideItself) {
  const std::string k = t_ / "avatar.imx";
  const std::string u = t_ / "avatar.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("manifest.json", "{\"agent\": \"x\"}"), pattern("P.f16", 1000, 3),
                           text("drive/xs.f32", "xs"), text("a/b/c.bin", "deep"), text("empty", "")}));
  ASSERT_TRUE(tq::isImxV2File(k));
  const Resolved r = resolve(k);
  ASSERT_EQ(r.rc, 1) << r.err;
  EXPECT_EQ(r.out, u);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(log_, unwrapLog(k, u));

  EXPECT_EQ(readText(u + "/manifest.json"), "{\"agent\": \"x\"}");
  const std::string p = readText(u + "/P.f16");
  ASSERT_EQ(p.size(), 1000u);
  for (std::size_t i = 0; i < p.size(); ++i)
    ASSERT_EQ(static_cast<unsigned char>(p[i]), patternByte(i, 3)) << i;
  EXPECT_EQ(readText(u + "/drive/xs.f32"), "xs");
  EXPECT_TRUE(isRealDir(u + "/a"));
  EXPECT_TRUE(isRealDir(u + "/a/b"));
  EXPECT_EQ(readText(u + "/a/b/c.bin"), "deep");
  EXPECT_TRUE(isRegular(u + "/empty"));
  EXPECT_EQ(readText(u + "/empty"), "");
  EXPECT_FALSE(fileExists(u + "/P.f16.part"));

  // The marker sits beside U and holds exactly the stamp.
  EXPECT_EQ(readText(u + ".imx_unwrapped"), expectedStamp(k, "avatar.imx"));
  EXPECT_FALSE(fileExists(u + "/.imx_unwrapped"));
}

TEST_F(ImxTest, OtherNamesForTheSameContainer) {
  const std::string k = t_ / "avatar.imx";
  const std::string u = t_ / "avatar.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("x", "1")}));
  // Without the suffix, with a trailing slash, and the unwrap directory itself
  // (no avatar.tqbundle.imx beside it) all lead to U.
  EXPECT_EQ(resolve(t_ / "avatar").out, u);
  EXPECT_EQ(log_, unwrapLog(k, u));
  EXPECT_EQ(resolve(t_ / "avatar/").out, u);
  EXPECT_EQ(log_, "");
  EXPECT_EQ(resolve(u).out, u);
  EXPECT_EQ(log_, "");

  // A container without any suffix unpacks to <name>.tqbundle.
  const std::string blob = t_ / "blob";
  ASSERT_TRUE(writeImx(blob, {text("y", "2")}));
  EXPECT_EQ(resolve(blob).out, t_ / "blob.tqbundle");
  EXPECT_EQ(readText(t_ / "blob.tqbundle/y"), "2");
  EXPECT_EQ(readText(t_ / "blob.tqbundle.imx_unwrapped"), expectedStamp(blob, "blob"));

  // A directory carrying a marker is re-checked against <dir>.imx.
  ASSERT_EQ(mkdir((t_ / "pair").c_str(), 0755), 0);
  writeText(t_ / "pair.imx_unwrapped", "stale");
  ASSERT_TRUE(writeImx(t_ / "pair.imx", {text("z", "3")}));
  EXPECT_EQ(resolve(t_ / "pair").out, t_ / "pair.tqbundle");
  EXPECT_EQ(readText(t_ / "pair.tqbundle/z"), "3");
}

TEST_F(ImxTest, WarmOpenTouchesNothingUntilTheContainerChanges) {
  const std::string k = t_ / "avatar.imx";
  const std::string u = t_ / "avatar.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("a", "one"), text("b", "two")}));
  ASSERT_TRUE(setMtime(k, 1000000000, 111));
  ASSERT_EQ(resolve(k).rc, 1);
  // Members edited in place show whether a later open rewrote them.
  writeText(u + "/a", "edited");

  EXPECT_EQ(resolve(k).out, u);
  EXPECT_EQ(log_, "");
  EXPECT_EQ(readText(u + "/a"), "edited");

  // A marker that differs only by surrounding white space still matches.
  writeText(u + ".imx_unwrapped", " \t" + expectedStamp(k, "avatar.imx") + "\r\n");
  EXPECT_EQ(resolve(k).out, u);
  EXPECT_EQ(log_, "");
  EXPECT_EQ(readText(u + "/a"), "edited");

  // New modification time (nanoseconds alone): full unpack, stale files gone.
  writeText(u + "/leftover", "old");
  ASSERT_TRUE(setMtime(k, 1000000000, 112));
  EXPECT_EQ(resolve(k).out, u);
  EXPECT_EQ(log_, unwrapLog(k, u));
  EXPECT_EQ(readText(u + "/a"), "one");
  EXPECT_EQ(readText(u + "/b"), "two");
  EXPECT_FALSE(fileExists(u + "/leftover"));
  EXPECT_EQ(readText(u + ".imx_unwrapped"), expectedStamp(k, "avatar.imx"));

  // A replaced container (new inode, fewer members) drops the old members. The old
  // file stays linked so that its inode number cannot be handed to the new one.
  ASSERT_EQ(link(k.c_str(), (t_ / "old.imx").c_str()), 0);
  ASSERT_TRUE(writeImx(t_ / "next.imx", {text("a", "uno")}));
  ASSERT_EQ(rename((t_ / "next.imx").c_str(), k.c_str()), 0);
  ASSERT_TRUE(setMtime(k, 1000000000, 112));
  EXPECT_EQ(resolve(k).out, u);
  EXPECT_EQ(log_, unwrapLog(k, u));
  EXPECT_EQ(readText(u + "/a"), "uno");
  EXPECT_FALSE(fileExists(u + "/b"));

  // Marker present but U gone: unpacked again.
  ASSERT_EQ(tqtest::runCommand("rm -rf '" + u + "'"), 0);
  EXPECT_EQ(resolve(k).out, u);
  EXPECT_EQ(log_, unwrapLog(k, u));
  EXPECT_EQ(readText(u + "/a"), "uno");
}

TEST_F(ImxTest, UnwrapRootFromTheEnvironment) {
  const std::string k = t_ / "avatar.imx";
  ASSERT_TRUE(writeImx(k, {text("m", "v")}));
  {
    ScopedEnv root("TQ_IMX_UNWRAP_ROOT", (t_ / "root//").c_str());
    const std::string u = t_ / "root/avatar.tqbundle";
    EXPECT_EQ(resolve(k).out, u);  // created with its parent, joined by one slash
    EXPECT_EQ(readText(u + "/m"), "v");
    EXPECT_EQ(readText(u + ".imx_unwrapped"), expectedStamp(k, "avatar.imx"));
  }
  {
    ScopedEnv empty("TQ_IMX_UNWRAP_ROOT", "");
    EXPECT_EQ(resolve(k).out, t_ / "avatar.tqbundle");
  }
}

TEST_F(ImxTest, PayloadsAnywhereAndLargerThanTheCopyBuffer) {
  const std::string k = t_ / "big.imx";
  const long long bigSize = 2LL * 8388608 + 12345;
  // Header 8, then TOC entries for "big", "first", "again"; "again" points at
  // the same bytes as "first" and "first" lies after "big".
  const std::size_t payloads = 8 + tocEntrySize("big") + tocEntrySize("first") + tocEntrySize("again");
  const std::string firstAt = std::to_string(payloads + bigSize);
  Member first = text("first", "FIRST");
  Member again = text("again", "");
  again.extra = "\"offset\": " + firstAt + ", \"size_field\": 5";
  ASSERT_TRUE(writeImx(k, {pattern("big", bigSize, 7), first, again}));
  const Resolved r = resolve(k);
  ASSERT_EQ(r.rc, 1) << r.err;
  const std::vector<uint8_t> big = tqtest::readBytes(r.out + "/big");
  ASSERT_EQ(static_cast<long long>(big.size()), bigSize);
  for (std::size_t i = 0; i < big.size(); ++i)
    if (big[i] != patternByte(i, 7)) FAIL() << "byte " << i;
  EXPECT_EQ(readText(r.out + "/first"), "FIRST");
  EXPECT_EQ(readText(r.out + "/again"), "FIRST");
}

TEST_F(ImxTest, SyntheticManifestIsNotMaterialised) {
  const std::string synthetic = "{\"_imx_synthetic_manifest\": true}";
  // The synthetic text followed by spaces up to `size` bytes.
  const auto padded = [&](std::size_t size) {
    Member m = text("manifest.json", synthetic);
    m.extra = "\"pad_to\": " + std::to_string(size);
    return m;
  };
  struct Case {
    const char* what;
    Member member;
    bool written;
  };
  const std::vector<Case> cases = {
      {"synthetic", text("manifest.json", synthetic), false},
      {"synthetic, exactly 4 MiB", padded(4194304), false},
      {"synthetic text above 4 MiB", padded(4194305), true},
      {"ordinary", text("manifest.json", "{\"format\": 1}"), true},
      {"empty", text("manifest.json", ""), true},
      {"token in a nested manifest", text("sub/manifest.json", synthetic), true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string k = t_ / ("s" + std::to_string(i) + ".imx");
    ASSERT_TRUE(writeImx(k, {c.member, text("x", "1")}));
    const Resolved r = resolve(k);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(fileExists(r.out + "/" + c.member.name), c.written);
    EXPECT_EQ(readText(r.out + "/x"), "1");
    EXPECT_TRUE(fileExists(r.out + ".imx_unwrapped"));
  }
}

// ------------------------------------------------------------------ refusals

TEST_F(ImxTest, DamagedOrUnsafeContainersAreRefused) {
  const std::size_t payload = 8 + tocEntrySize("keep") + tocEntrySize("cut");
  auto cut = [](const std::string& extra) {
    Member m = pattern("cut", 200, 1);
    m.extra = extra;
    return m;
  };
  const std::string truncatedPayload = ": truncated payload for member cut";
  struct Case {
    const char* what;
    std::vector<Member> members;
    std::string top, message;  // message after the container path
  };
  std::vector<Case> cases = {
      {"TOC: name length of entry 0", {pattern("P.f16", 64)}, "\"truncate\": 9", ": truncated TOC at member 0"},
      {"TOC: count beyond the entries", {pattern("P.f16", 64)},
       "\"count\": 2, \"truncate\": " + std::to_string(8 + tocEntrySize("P.f16")), ": truncated TOC at member 1"},
      {"TOC: name", {pattern("P.f16", 64)}, "\"truncate\": " + std::to_string(8 + 2 + 4), ": truncated member name at 0"},
      {"TOC: offset and size", {pattern("P.f16", 64)}, "\"truncate\": " + std::to_string(8 + tocEntrySize("P.f16") - 1),
       ": truncated TOC offsets at member P.f16"},
      {"file ends inside the payload", {text("keep", "KEEP"), cut("")},
       "\"truncate\": " + std::to_string(payload + 4 + 100), truncatedPayload},
      {"offset past the end", {text("keep", "KEEP"), cut("\"offset\": 1099511627776")}, "", truncatedPayload},
      {"size past the end", {text("keep", "KEEP"), cut("\"size_field\": 201")}, "", truncatedPayload},
      {"size of 2^64-1", {text("keep", "KEEP"), cut("\"size_field\": 18446744073709551615")}, "", truncatedPayload},
      {"offset + size wraps", {text("keep", "KEEP"), cut("\"offset\": 16, \"size_field\": 18446744073709551610")}, "",
       truncatedPayload},
      {"offset above the signed range", {text("keep", "KEEP"), cut("\"offset\": 9223372036854775813")}, "",
       truncatedPayload},
  };
  for (const std::string& name : {std::string("../escape.txt"), std::string("/abs.txt"), std::string("\\win.txt"),
                                  std::string("a\\b"), std::string("a..b"), std::string(), std::string("nul\0x", 5),
                                  std::string("sub/../../escape.txt"), std::string(".."), std::string("dir/"),
                                  std::string("."), std::string("sub/.")})
    cases.push_back({"unsafe name", {text("good", "ok"), text(name, "bad")}, "",
                     ": refusing unsafe member name '" + name + "'"});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].what) + " #" + std::to_string(i));
    const std::string k = t_ / ("bad" + std::to_string(i) + ".imx");
    ASSERT_TRUE(writeImx(k, cases[i].members, cases[i].top));
    expectRefused(k, k + cases[i].message);
    for (const char* absent : {"/P.f16", "/cut", "/cut.part"})
      EXPECT_FALSE(fileExists(tq::imxUnwrapDir(k) + absent)) << absent;
  }
  EXPECT_FALSE(fileExists(t_ / "escape.txt"));
  EXPECT_FALSE(fileExists("/abs.txt"));
  // A member placed before the bad one is not trusted without a marker: refused again.
  const std::string k = t_ / "bad10.imx";
  EXPECT_EQ(readText(tq::imxUnwrapDir(k) + "/good"), "ok");
  expectRefused(k, k + ": refusing unsafe member name '../escape.txt'");
}

TEST_F(ImxTest, FailedRepackDropsTheOldMarker) {
  const std::string k = t_ / "avatar.imx";
  const std::string u = t_ / "avatar.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("a", "old")}));
  ASSERT_EQ(resolve(k).rc, 1);
  ASSERT_TRUE(isRegular(u + ".imx_unwrapped"));

  // The replacement is cut inside its payload: the earlier unpack must not
  // survive as a valid-looking bundle.
  ASSERT_TRUE(writeImx(t_ / "next.imx", {text("a", "new and longer")},
                       "\"truncate\": " + std::to_string(8 + tocEntrySize("a") + 3)));
  ASSERT_EQ(rename((t_ / "next.imx").c_str(), k.c_str()), 0);
  expectRefused(k, k + ": truncated payload for member a");
  EXPECT_FALSE(fileExists(u + "/a"));
}

TEST_F(ImxTest, HeaderRefusalsOfTheUnwrapItself) {
  // resolveBundlePath only unwraps files whose header it has checked, so these
  // are reached by unwrapping directly.
  struct Case {
    const char* file;
    std::string top;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"magic.imx", "\"magic_hex\": \"494d5858\"", ": not an IMX\\0 container"},
      {"short.imx", "\"truncate\": 6", ": not an IMX\\0 container"},
      {"v3.imx", "\"version\": 3", ": unsupported IMX container version 3"},
      {"v1.imx", "\"version\": 1", ": unsupported IMX container version 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string k = t_ / c.file;
    ASSERT_TRUE(writeImx(k, {text("a", "b")}, c.top));
    EXPECT_EQ(tqtest::thrown([&] { tq::unwrapOnce(k); }), k + c.message);
    EXPECT_FALSE(fileExists(imxMarker(k)));
  }
  const std::string none = t_ / "none.imx";
  EXPECT_EQ(tqtest::thrown([&] { tq::unwrapOnce(none); }), "cannot stat container " + none);
  // A dangling link has a link status of its own but cannot be opened.
  const std::string dangling = t_ / "dangling.imx";
  ASSERT_EQ(symlink((t_ / "nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(tqtest::thrown([&] { tq::unwrapOnce(dangling); }), "cannot open container " + dangling);
}

TEST_F(ImxTest, FilesystemRefusals) {
  const std::string u = t_ / "fs.tqbundle";
  const std::string k = t_ / "fs.imx";
  struct Case {
    const char* what;
    std::vector<Member> members;
    std::string message;
    std::string gone;  // must not exist afterwards
  };
  const std::vector<Case> cases = {
      {"directory over a file", {text("a", "file"), text("a/b", "x")}, "cannot create " + u + "/a", ""},
      {".part name taken by a directory", {text("x.part/y", "1"), text("x", "2")},
       "cannot write " + u + "/x.part", u + "/x"},
      {"member name taken by a directory", {text("x/y", "1"), text("x", "2")},
       "cannot place member " + u + "/x", u + "/x.part"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(writeImx(k, c.members));
    expectRefused(k, c.message);
    if (!c.gone.empty()) {
      EXPECT_FALSE(isRegular(c.gone));
    }
  }

  // The marker path is a directory.
  ASSERT_TRUE(writeImx(k, {text("a", "1")}));
  ASSERT_EQ(mkdir((u + ".imx_unwrapped").c_str(), 0755), 0);
  const Resolved r = resolve(k);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, "tq_bundle_resolve_handle: cannot write unwrap marker " + u + ".imx_unwrapped");
  ASSERT_EQ(rmdir((u + ".imx_unwrapped").c_str()), 0);

  // The unwrap root cannot be created under a regular file.
  writeText(t_ / "plainfile", "x");
  ScopedEnv root("TQ_IMX_UNWRAP_ROOT", (t_ / "plainfile/sub").c_str());
  expectRefused(k, "cannot create unwrap dir " + t_ / "plainfile/sub/fs.tqbundle");
}

// Lowers the file-size limit for the scope (SIGXFSZ ignored) so writes fail
// part way, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old_;
    lim.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &lim) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  struct rlimit old_;
  sighandler_t oldHandler_;
  bool ok_ = false;
};

TEST_F(ImxTest, ShortWriteOfAMember) {
  const std::string k = t_ / "w.imx";
  const std::string u = t_ / "w.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("small", "s"), pattern("big", 3 << 20)}));
  Resolved r;
  {
    FileSizeLimit limit(1 << 20);  // the member is three times larger
    ASSERT_TRUE(limit.ok());
    r = resolveHandle(k);
  }
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, "tq_bundle_resolve_handle: short write materialising " + u + "/big");
  EXPECT_FALSE(fileExists(u + "/big.part"));
  EXPECT_FALSE(fileExists(u + "/big"));
  EXPECT_FALSE(fileExists(u + ".imx_unwrapped"));
  EXPECT_EQ(readText(u + "/small"), "s");
}

TEST_F(ImxTest, ShortWriteOnTheMarker) {
  const std::string k = t_ / "m.imx";
  ASSERT_TRUE(writeImx(k, {text("empty", "")}));
  Resolved r;
  {
    FileSizeLimit tiny(16);  // the stamp is longer; the empty member fits
    ASSERT_TRUE(tiny.ok());
    r = resolveHandle(k);
  }
  const std::string marker = t_ / "m.tqbundle.imx_unwrapped";
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, "tq_bundle_resolve_handle: short write on unwrap marker " + marker);
  EXPECT_FALSE(fileExists(marker));
  EXPECT_TRUE(isRegular(t_ / "m.tqbundle/empty"));
}

// ------------------------------------------------------------------ safety

TEST_F(ImxTest, ContainerInsideItsOwnUnwrapDirectoryIsKept) {
  // "x.tqbundle" unpacks to itself; removing U would delete the container.
  const std::string k = t_ / "x.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("a", "1")}));
  const std::string before = readText(k);
  expectRefused(k, k + ": container lies inside its own unwrap directory " + k);
  EXPECT_EQ(readText(k), before);

  // With a root, U can be a directory that holds the container.
  ASSERT_EQ(mkdir((t_ / "box.tqbundle").c_str(), 0755), 0);
  const std::string inner = t_ / "box.tqbundle/box.imx";
  ASSERT_TRUE(writeImx(inner, {text("a", "1")}));
  ScopedEnv root("TQ_IMX_UNWRAP_ROOT", t_.path().c_str());
  expectRefused(inner, inner + ": container lies inside its own unwrap directory " +
                           t_ / "box.tqbundle");
  EXPECT_TRUE(isRegular(inner));
}

TEST_F(ImxTest, LinksNeverRedirectWrites) {
  const std::string outside = t_ / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  writeText(outside + "/victim", "keep");
  const std::string k = t_ / "avatar.imx";
  const std::string u = t_ / "avatar.tqbundle";
  const std::string marker = u + ".imx_unwrapped";
  ASSERT_TRUE(writeImx(k, {text("victim", "new"), text("sub/x", "X"), text("P.f16", "P")}));
  long nsec = 1;
  auto touch = [&] { ASSERT_TRUE(setMtime(k, 1200000000, ++nsec)); };
  auto outsideIntact = [&] {
    EXPECT_EQ(readText(outside + "/victim"), "keep");
    EXPECT_FALSE(fileExists(outside + "/x"));
    EXPECT_FALSE(fileExists(outside + "/P.f16"));
    EXPECT_FALSE(fileExists(outside + "/sub"));
  };
  auto unpackedHere = [&] {
    EXPECT_TRUE(isRealDir(u));
    EXPECT_TRUE(isRegular(u + "/victim"));
    EXPECT_EQ(readText(u + "/victim"), "new");
    EXPECT_TRUE(isRealDir(u + "/sub"));
    EXPECT_EQ(readText(u + "/sub/x"), "X");
    EXPECT_TRUE(isRegular(marker));
    EXPECT_EQ(readText(marker), expectedStamp(k, "avatar.imx"));
  };

  {
    SCOPED_TRACE("U itself a link to an outside directory");
    touch();
    ASSERT_EQ(symlink(outside.c_str(), u.c_str()), 0);
    ASSERT_EQ(resolve(k).rc, 1);
    outsideIntact();
    unpackedHere();
  }
  {
    SCOPED_TRACE("links planted inside U");
    ASSERT_EQ(unlink((u + "/victim").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (u + "/victim").c_str()), 0);
    ASSERT_EQ(tqtest::runCommand("rm -rf '" + u + "/sub'"), 0);
    ASSERT_EQ(symlink(outside.c_str(), (u + "/sub").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (u + "/P.f16.part").c_str()), 0);
    touch();
    ASSERT_EQ(resolve(k).rc, 1);
    outsideIntact();
    unpackedHere();
  }
  {
    SCOPED_TRACE("marker a link to an outside file");
    ASSERT_EQ(unlink(marker.c_str()), 0);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), marker.c_str()), 0);
    touch();
    ASSERT_EQ(resolve(k).rc, 1);
    outsideIntact();
    unpackedHere();
  }
}

TEST_F(ImxTest, ContainerBehindALinkIsStampedByTheLink) {
  const std::string real = t_ / "real.imx";
  const std::string link = t_ / "link.imx";
  ASSERT_TRUE(writeImx(real, {text("a", "1")}));
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  const Resolved r = resolve(link);
  ASSERT_EQ(r.rc, 1) << r.err;
  EXPECT_EQ(r.out, t_ / "link.tqbundle");
  EXPECT_EQ(readText(r.out + ".imx_unwrapped"), expectedStamp(link, "link.imx"));
  EXPECT_NE(expectedStamp(link, "link.imx"), expectedStamp(real, "link.imx"));
}

// ------------------------------------------------------------------ C API

TEST_F(ImxTest, ResolveHandleArguments) {
  char buf[8] = "keep";
  // A failure first, to see that each call clears the text on entry.
  const auto fail = [&] { tq_bundle_resolve_handle("/", buf, 1); };
  fail();
  ASSERT_EQ(std::string(tq_last_error()), "tq_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(tq_bundle_resolve_handle(nullptr, buf, sizeof buf), -1);
  EXPECT_EQ(std::string(tq_last_error()), "");
  fail();
  EXPECT_EQ(tq_bundle_resolve_handle("/", nullptr, sizeof buf), -1);
  EXPECT_EQ(std::string(tq_last_error()), "");
  fail();
  std::memcpy(buf, "keep", 5);
  EXPECT_EQ(tq_bundle_resolve_handle("/", buf, 0), -1);
  EXPECT_EQ(std::string(tq_last_error()), "");
  EXPECT_EQ(std::string(buf), "keep");

  // out_cap equal to the length leaves no room for the terminator.
  const std::string d = t_.path();
  Resolved r = resolveHandle(d, d.size());
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tq_bundle_resolve_handle: buffer too small");
  r = resolveHandle(d, d.size() + 1);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, d);
  EXPECT_EQ(r.err, "");
}

TEST_F(ImxTest, ResolveMember) {
  const std::string k = t_ / "avatar.imx";
  const std::string u = t_ / "avatar.tqbundle";
  ASSERT_TRUE(writeImx(k, {text("paste_transform.f32", "M"), text("P.f16", "P"),
                           text("source_frames.f16", "S")}));
  struct Case {
    const char* member;
    int rc;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"M.f32", 1, u + "/paste_transform.f32"},  // only the second-layout name exists
      {"P.f16", 1, u + "/P.f16"},                // both exist: first layout wins
      {"mask_512.u8", 0, u + "/mask_512.u8"},    // neither
      {"notes.txt", 0, u + "/notes.txt"},        // no alternative, absent
  };
  testing::internal::CaptureStderr();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    const Resolved r = resolveMember(k, c.member);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.out, c.path);
  }
  testing::internal::GetCapturedStderr();

  // Does not clear the last error, and a path that does not fit adds none.
  char one[1] = {'x'};
  tq_bundle_resolve_handle(t_.path().c_str(), one, 1);
  const std::string earlier = "tq_bundle_resolve_handle: buffer too small";
  ASSERT_EQ(std::string(tq_last_error()), earlier);
  Resolved r = resolveMember(k, "M.f32");
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, earlier);
  const std::string full = u + "/paste_transform.f32";
  r = resolveMember(k, "M.f32", full.size());
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, earlier);
  r = resolveMember(k, "M.f32", full.size() + 1);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, full);

  char buf[16];
  EXPECT_EQ(tq_bundle_resolve_member(nullptr, "M.f32", buf, sizeof buf), -1);
  EXPECT_EQ(tq_bundle_resolve_member(k.c_str(), nullptr, buf, sizeof buf), -1);
  EXPECT_EQ(tq_bundle_resolve_member(k.c_str(), "M.f32", nullptr, sizeof buf), -1);
  EXPECT_EQ(tq_bundle_resolve_member(k.c_str(), "M.f32", buf, 0), -1);
  EXPECT_EQ(std::string(tq_last_error()), earlier);

  // A plain directory bundle with the second layout.
  ASSERT_TRUE(tqtest::runFixtureTool(
      {"bundle", t_ / "plain", "--layout", "second", "--member", "drive/si.i32=8"}));
  r = resolveMember(t_ / "plain", "drive/si.i32");
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, t_ / "plain/idle_loop/source_index.i32");

  // Unpacking failures carry the function's own name.
  const std::string bad = t_ / "bad.imx";
  ASSERT_TRUE(writeImx(bad, {text("/etc/x", "1")}));
  r = resolveMember(bad, "M.f32");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tq_bundle_resolve_member: " + bad + ": refusing unsafe member name '/etc/x'");
}

}  // namespace
