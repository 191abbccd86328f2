// Bundle path resolution and IMX container unpacking, through the C entry
// points tq_bundle_resolve_handle / tq_bundle_resolve_member.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "bundle/tq_imx.h"
#include "bundle_test_util.h"
#include "tq_test_util.h"

using namespace bundletest;
using tqtest::fileExists;
using tqtest::readText;
using tqtest::ScopedEnv;
using tqtest::writeText;
using namespace std::string_literals;

namespace {

class ImxTest : public ::testing::Test {
 protected:
  // Resolves quietly; the unwrap log line is kept in log_.
  Resolved resolve(const std::string& path, std::size_t cap = 4096) {
    testing::internal::CaptureStderr();
    Resolved r = resolveHandle(path, cap);
    log_ = testing::internal::GetCapturedStderr();
    return r;
  }
  // Resolving `k` must fail with exactly `message` and leave no marker.
  void expectRefused(const std::string& k, const std::string& message) {
    const Resolved r = resolve(k);
    // The C text ends at a NUL inside a member name.
    EXPECT_EQ(std::make_tuple(r.rc, r.out, r.err), std::make_tuple(-1, "", ("tq_bundle_resolve_handle: " + message).c_str()));
    EXPECT_FALSE(isRegular(tq::imxUnwrapDir(k) + ".imx_unwrapped"));
  }
  std::string unwrapLog(const std::string& k, const std::string& u) const { return "[tq] unwrapped " + k + " -> " + u + "\n"; }
  std::string t(const std::string& name) const { return t_ / name; }

  tqtest::TempDir t_;
  std::string log_;
  ScopedEnv noRoot_{"TQ_IMX_UNWRAP_ROOT", nullptr};
};

TEST_F(ImxTest, WhatEachPathResolvesTo) {
  for (const char* d : {"plain", "pair"}) ASSERT_EQ(mkdir(t(d).c_str(), 0755), 0);  // "pair" with a marker is re-checked against pair.imx
  writeText(t("pair.imx_unwrapped"), "stale");
  for (const auto& [file, top] : {std::pair<const char*, const char*>{"v1.imx", "\"version\": 1"},
                                  {"magic.imx", "\"magic_hex\": \"494d5900\""}, {"short.imx", "\"truncate\": 7"},
                                  {"avatar.imx", ""}, {"blob", ""}, {"pair.imx", ""}})
    ASSERT_TRUE(writeImx(t(file), {text("x", file)}, top));
  const std::tuple<std::string, std::string, bool> cases[] = {  // path, result, unwraps
      {t("plain/"), t("plain/"), false}, {t("plain"), t("plain"), false}, {t("absent"), t("absent"), false},
      {t("absent.imx"), t("absent.imx"), false}, {"", "", false},
      {t("v1.imx"), t("v1.imx"), false},  // not a version-2 container: returned as given
      {t("magic.imx"), t("magic.imx"), false}, {t("short.imx"), t("short.imx"), false},
      {t("avatar"), t("avatar.tqbundle"), true},  // without the suffix
      {t("avatar/"), t("avatar.tqbundle"), false}, {t("avatar.tqbundle"), t("avatar.tqbundle"), false},
      {t("avatar.imx"), t("avatar.tqbundle"), false},
      {t("blob"), t("blob.tqbundle"), true},  // a container without any suffix
      {t("pair"), t("pair.tqbundle"), true},
  };
  for (const auto& [path, out, unwraps] : cases) {
    const Resolved r = resolve(path);
    EXPECT_EQ(std::make_tuple(r.rc, r.out, r.err, log_.empty()), std::make_tuple(1, out, "", !unwraps)) << path << log_;
  }
  EXPECT_EQ(std::make_tuple(readText(t("blob.tqbundle/x")), readText(t("blob.tqbundle.imx_unwrapped")), readText(t("pair.tqbundle/x"))),
            std::make_tuple("blob", expectedStamp(t("blob"), "blob"), "pair.imx"));
  for (const char* f : {"v1", "magic", "short"}) EXPECT_FALSE(fileExists(t(f) + ".tqbundle")) << f;
}

TEST_F(ImxTest, ContainerUnpacksBesideItselfAndWarmOpensTouchNothing) {
  const std::string k = t("avatar.imx"), u = t("avatar.tqbundle");
  ASSERT_TRUE(writeImx(k, {text("manifest.json", "{\"agent\": \"x\"}"), pattern("P.f16", 1000, 3),
                           text("drive/xs.f32", "xs"), text("a/b/c.bin", "deep"), text("empty", "")}));
  ASSERT_TRUE(tq::isImxV2File(k));
  ASSERT_TRUE(setMtime(k, 1000000000, 111));
  const Resolved r = resolve(k);
  EXPECT_EQ(std::make_tuple(r.rc, r.out, r.err, log_), std::make_tuple(1, u, "", unwrapLog(k, u)));
  std::string p(1000, '\0');
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(patternByte(i, 3));
  for (const auto& [member, want] : {std::make_pair("manifest.json", std::string("{\"agent\": \"x\"}")), {"P.f16", p},
                                     {"drive/xs.f32", "xs"}, {"a/b/c.bin", "deep"}, {"empty", ""}})
    EXPECT_TRUE(isRegular(u + "/" + member) && readText(u + "/" + member) == want) << member;
  EXPECT_TRUE(isRealDir(u + "/a") && isRealDir(u + "/a/b") && !fileExists(u + "/P.f16.part"));
  EXPECT_EQ(readText(u + ".imx_unwrapped"), expectedStamp(k, "avatar.imx"));  // beside U, exactly the stamp
  EXPECT_FALSE(fileExists(u + "/.imx_unwrapped"));

  // A member edited in place shows whether a later open rewrote it.
  writeText(u + "/empty", "edited");
  const auto warm = [&](const char* what) {
    EXPECT_EQ(std::make_pair(resolve(k).out, log_), std::make_pair(u, std::string())) << what;
    EXPECT_EQ(readText(u + "/empty"), "edited") << what;
  };
  warm("same stamp");
  writeText(u + ".imx_unwrapped", " \t" + expectedStamp(k, "avatar.imx") + "\r\n");
  warm("stamp in white space");

  const auto cold = [&](const char* what, const std::string& member, const std::string& content) {
    EXPECT_EQ(std::make_pair(resolve(k).out, log_), std::make_pair(u, unwrapLog(k, u))) << what;
    EXPECT_EQ(readText(u + "/" + member), content) << what;
    EXPECT_EQ(readText(u + ".imx_unwrapped"), expectedStamp(k, "avatar.imx")) << what;
  };
  writeText(u + "/leftover", "old");
  ASSERT_TRUE(setMtime(k, 1000000000, 112));  // nanoseconds alone
  cold("new modification time", "empty", "");
  EXPECT_FALSE(fileExists(u + "/leftover"));

  // A replaced container (new inode, fewer members). The old file stays linked
  // so that its inode number cannot be handed to the new one.
  ASSERT_EQ(link(k.c_str(), t("old.imx").c_str()), 0);
  ASSERT_TRUE(writeImx(t("next.imx"), {text("a", "uno")}));
  ASSERT_EQ(rename(t("next.imx").c_str(), k.c_str()), 0);
  ASSERT_TRUE(setMtime(k, 1000000000, 112));
  cold("new inode", "a", "uno");
  EXPECT_FALSE(fileExists(u + "/P.f16"));
  ASSERT_EQ(tqtest::runCommand("rm -rf '" + u + "'"), 0);
  cold("marker present but U gone", "a", "uno");

  // Under an unwrap root from the environment, created with its parent, joined by one slash.
  ScopedEnv root("TQ_IMX_UNWRAP_ROOT", t("root//").c_str());
  const std::string ru = t("root/avatar.tqbundle");
  EXPECT_EQ(resolve(k).out, ru);
  EXPECT_EQ(std::make_pair(readText(ru + "/a"), readText(ru + ".imx_unwrapped")),
            std::make_pair("uno"s, expectedStamp(k, "avatar.imx")));
  ScopedEnv empty("TQ_IMX_UNWRAP_ROOT", "");
  EXPECT_EQ(resolve(k).out, u);
}

TEST_F(ImxTest, PayloadsAnywhereAndLargerThanTheCopyBuffer) {
  const long long bigSize = 2LL * 8388608 + 12345;
  // "again" points at the same bytes as "first", which lies after "big".
  const std::size_t firstAt = 8 + tocEntrySize("big") + tocEntrySize("first") + tocEntrySize("again") + bigSize;
  ASSERT_TRUE(writeImx(t("big.imx"), {pattern("big", bigSize, 7), text("first", "FIRST"),
                                      text("again", "", "\"offset\": " + std::to_string(firstAt) + ", \"size_field\": 5")}));
  const Resolved r = resolve(t("big.imx"));
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
  const std::pair<Member, bool> cases[] = {  // the manifest member, whether it is written
      {text("manifest.json", synthetic), false},
      {text("manifest.json", synthetic, "\"pad_to\": 4194304"), false},  // spaces up to exactly 4 MiB
      {text("manifest.json", synthetic, "\"pad_to\": 4194305"), true},
      {text("manifest.json", "{\"format\": 1}"), true},
      {text("manifest.json", ""), true},
      {text("sub/manifest.json", synthetic), true},
  };
  int i = 0;
  for (const auto& [member, written] : cases) {
    const std::string k = t("s" + std::to_string(i++) + ".imx");
    ASSERT_TRUE(writeImx(k, {member, text("x", "1")}));
    const Resolved r = resolve(k);
    EXPECT_EQ(std::make_tuple(r.rc, fileExists(r.out + "/" + member.name), readText(r.out + "/x"), isRegular(r.out + ".imx_unwrapped")),
              std::make_tuple(1, written, "1", true)) << i;
  }
}

// Every refusal through tq_bundle_resolve_handle on a real container, with the full text.
TEST_F(ImxTest, RefusalsWithTheirFullText) {
  const std::string k = t("k.imx"), u = t("k.tqbundle");
  const std::size_t payload = 8 + tocEntrySize("keep") + tocEntrySize("cut");
  const auto cut = [](const std::string& extra) { return std::vector<Member>{text("keep", "KEEP"), pattern("cut", 200, 1, extra)}; };
  const std::string trunc = k + ": truncated payload for member cut", p16 = std::to_string(8 + tocEntrySize("P.f16"));
  struct Case {
    std::vector<Member> members;
    std::string top, message;
    std::function<void()> before = nullptr;
  };
  std::vector<Case> cases = {
      {{pattern("P.f16", 64)}, "\"truncate\": 9", k + ": truncated TOC at member 0"},
      {{pattern("P.f16", 64)}, "\"count\": 2, \"truncate\": " + p16, k + ": truncated TOC at member 1"},
      {{pattern("P.f16", 64)}, "\"truncate\": 14", k + ": truncated member name at 0"},
      {{pattern("P.f16", 64)}, "\"truncate\": " + std::to_string(std::stoi(p16) - 1), k + ": truncated TOC offsets at member P.f16"},
      {cut(""), "\"truncate\": " + std::to_string(payload + 4 + 100), trunc},  // the file ends inside the payload
      {cut("\"offset\": 1099511627776"), "", trunc},
      {cut("\"size_field\": 201"), "", trunc},
      {cut("\"size_field\": 18446744073709551615"), "", trunc},
      {cut("\"offset\": 16, \"size_field\": 18446744073709551610"), "", trunc},  // offset + size wraps
      {cut("\"offset\": 9223372036854775813"), "", trunc},                       // above the signed range
      {{text("a", "file"), text("a/b", "x")}, "", "cannot create " + u + "/a"},
      {{text("x.part/y", "1"), text("x", "2")}, "", "cannot write " + u + "/x.part"},
      {{text("x/y", "1"), text("x", "2")}, "", "cannot place member " + u + "/x"},
      {{text("a", "1")}, "", "cannot write unwrap marker " + u + ".imx_unwrapped",
       [&] { ASSERT_EQ(mkdir(t("k.tqbundle.imx_unwrapped").c_str(), 0755), 0); }},
      {{text("a", "1")}, "", "cannot create unwrap dir " + t("plainfile/sub/k.tqbundle"),
       [&] {
         writeText(t("plainfile"), "x");
         setenv("TQ_IMX_UNWRAP_ROOT", t("plainfile/sub").c_str(), 1);
       }},
  };
  for (const std::string& name : {"../escape.txt"s, "/abs.txt"s, "\\win.txt"s, "a\\b"s, "a..b"s, ""s, "nul\0x"s,
                                  "sub/../../escape.txt"s, ".."s, "dir/"s, "."s, "sub/."s})
    cases.push_back({{text("good", "ok"), text(name, "bad")}, "", k + ": refusing unsafe member name '" + name + "'"});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    ScopedEnv root("TQ_IMX_UNWRAP_ROOT", nullptr);
    ASSERT_EQ(tqtest::runCommand("rm -rf '" + u + "' '" + u + ".imx_unwrapped'"), 0);
    ASSERT_TRUE(writeImx(k, cases[i].members, cases[i].top));
    if (cases[i].before) cases[i].before();
    expectRefused(k, cases[i].message);
    for (const char* absent : {"/P.f16", "/cut", "/cut.part", "/x.part", "/x"}) EXPECT_FALSE(isRegular(u + absent)) << absent;
  }
  EXPECT_FALSE(fileExists(t("escape.txt")));
  EXPECT_FALSE(fileExists("/abs.txt"));
  // The member placed before the bad one is not trusted without a marker: refused again.
  EXPECT_EQ(readText(u + "/good"), "ok");
  expectRefused(k, k + ": refusing unsafe member name 'sub/.'");

  // An earlier unpack does not survive a failed repack as a valid-looking bundle.
  ASSERT_TRUE(writeImx(k, {text("a", "old")}));
  ASSERT_EQ(resolve(k).rc, 1);
  ASSERT_TRUE(writeImx(t("next.imx"), {text("a", "new and longer")}, "\"truncate\": " + std::to_string(8 + tocEntrySize("a") + 3)));
  ASSERT_EQ(rename(t("next.imx").c_str(), k.c_str()), 0);
  expectRefused(k, k + ": truncated payload for member a");
  EXPECT_FALSE(fileExists(u + "/a"));

  // A container inside its own unwrap directory: removing U would delete it.
  const std::string self = t("x.tqbundle");
  ASSERT_TRUE(writeImx(self, {text("a", "1")}));
  const std::string before = readText(self);
  expectRefused(self, self + ": container lies inside its own unwrap directory " + self);
  EXPECT_EQ(readText(self), before);
  ASSERT_EQ(mkdir(t("box.tqbundle").c_str(), 0755), 0);
  const std::string inner = t("box.tqbundle/box.imx");
  ASSERT_TRUE(writeImx(inner, {text("a", "1")}));
  ScopedEnv root("TQ_IMX_UNWRAP_ROOT", t_.path().c_str());
  expectRefused(inner, inner + ": container lies inside its own unwrap directory " + t("box.tqbundle"));
  EXPECT_TRUE(isRegular(inner));
}

TEST_F(ImxTest, ShortWritesAreRefusedAndLeaveNothingBehind) {
  const std::string u = t("w.tqbundle");
  ASSERT_TRUE(writeImx(t("w.imx"), {text("small", "s"), pattern("big", 3 << 20)}));
  ASSERT_TRUE(writeImx(t("m.imx"), {text("empty", "")}));
  // A lowered file-size limit (SIGXFSZ ignored) fails writes part way, as on a full disk.
  const sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto limit = [&](rlim_t cur) { struct rlimit l = old; l.rlim_cur = cur; return setrlimit(RLIMIT_FSIZE, &l) == 0; };
  ASSERT_TRUE(limit(1 << 20));  // the member is three times larger
  const Resolved big = resolveHandle(t("w.imx"));
  limit(16);  // the stamp is longer; the empty member fits
  const Resolved marker = resolveHandle(t("m.imx"));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(std::make_pair(big.rc, big.err), std::make_pair(-1, "tq_bundle_resolve_handle: short write materialising " + u + "/big"));
  EXPECT_FALSE(fileExists(u + "/big.part") || fileExists(u + "/big") || fileExists(u + ".imx_unwrapped"));
  EXPECT_EQ(readText(u + "/small"), "s");
  EXPECT_EQ(std::make_pair(marker.rc, marker.err),
            std::make_pair(-1, "tq_bundle_resolve_handle: short write on unwrap marker " + t("m.tqbundle.imx_unwrapped")));
  EXPECT_FALSE(fileExists(t("m.tqbundle.imx_unwrapped")));
  EXPECT_TRUE(isRegular(t("m.tqbundle/empty")));
}

TEST_F(ImxTest, LinksNeverRedirectWrites) {
  const std::string outside = t("outside"), k = t("avatar.imx"), u = t("avatar.tqbundle"), marker = u + ".imx_unwrapped";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  writeText(outside + "/victim", "keep");
  ASSERT_TRUE(writeImx(k, {text("victim", "new"), text("sub/x", "X"), text("P.f16", "P")}));
  long nsec = 1;
  const auto unpackAndCheck = [&](const char* what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(setMtime(k, 1200000000, ++nsec));
    ASSERT_EQ(resolve(k).rc, 1);
    EXPECT_EQ(readText(outside + "/victim"), "keep");
    EXPECT_FALSE(fileExists(outside + "/x") || fileExists(outside + "/P.f16") || fileExists(outside + "/sub"));
    EXPECT_TRUE(isRealDir(u) && isRegular(u + "/victim") && isRealDir(u + "/sub") && isRegular(marker));
    EXPECT_EQ(std::make_tuple(readText(u + "/victim"), readText(u + "/sub/x"), readText(marker)),
              std::make_tuple("new", "X", expectedStamp(k, "avatar.imx")));
  };
  ASSERT_EQ(symlink(outside.c_str(), u.c_str()), 0);
  unpackAndCheck("U itself a link to an outside directory");
  ASSERT_EQ(unlink((u + "/victim").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/victim").c_str(), (u + "/victim").c_str()), 0);
  ASSERT_EQ(tqtest::runCommand("rm -rf '" + u + "/sub'"), 0);
  ASSERT_EQ(symlink(outside.c_str(), (u + "/sub").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/victim").c_str(), (u + "/P.f16.part").c_str()), 0);
  unpackAndCheck("links planted inside U");
  ASSERT_EQ(unlink(marker.c_str()), 0);
  ASSERT_EQ(symlink((outside + "/victim").c_str(), marker.c_str()), 0);
  unpackAndCheck("marker a link to an outside file");

  // A container behind a link is stamped by the link itself.
  ASSERT_EQ(symlink(k.c_str(), t("link.imx").c_str()), 0);
  const Resolved r = resolve(t("link.imx"));
  ASSERT_EQ(std::make_pair(r.rc, r.out), std::make_pair(1, t("link.tqbundle"))) << r.err;
  EXPECT_EQ(readText(r.out + ".imx_unwrapped"), expectedStamp(t("link.imx"), "link.imx"));
  EXPECT_NE(expectedStamp(t("link.imx"), "link.imx"), expectedStamp(k, "link.imx"));
}

TEST_F(ImxTest, CEntryPointArguments) {
  const std::string k = t("avatar.imx"), u = t("avatar.tqbundle"), full = u + "/paste_transform.f32", d = t_.path();
  ASSERT_TRUE(writeImx(k, {text("paste_transform.f32", "M"), text("P.f16", "P"), text("source_frames.f16", "S")}));
  char buf[8] = "keep";
  const std::string small = "tq_bundle_resolve_handle: buffer too small";
  // Bad arguments: the handle resolver clears the last error on entry, the member resolver leaves it.
  const std::pair<std::function<int()>, bool> bad[] = {
      {[&] { return tq_bundle_resolve_handle(nullptr, buf, sizeof buf); }, true},
      {[&] { return tq_bundle_resolve_handle("/", nullptr, sizeof buf); }, true},
      {[&] { return tq_bundle_resolve_handle("/", buf, 0); }, true},
      {[&] { return tq_bundle_resolve_member(nullptr, "M.f32", buf, sizeof buf); }, false},
      {[&] { return tq_bundle_resolve_member(k.c_str(), nullptr, buf, sizeof buf); }, false},
      {[&] { return tq_bundle_resolve_member(k.c_str(), "M.f32", nullptr, sizeof buf); }, false},
      {[&] { return tq_bundle_resolve_member(k.c_str(), "M.f32", buf, 0); }, false}};
  for (const auto& [call, clears] : bad) {
    ASSERT_EQ(tq_bundle_resolve_handle("/", buf, 1), -1);
    std::memcpy(buf, "keep", 5);
    const int rc = call();
    EXPECT_EQ(std::make_tuple(rc, std::string(tq_last_error()), std::string(buf)), std::make_tuple(-1, clears ? "" : small, "keep"));
  }
  // A capacity equal to the length leaves no room for the terminator; a member's adds no error text.
  // Rows: member (null: the handle), path, capacity, rc, error.
  const std::tuple<const char*, std::string, std::size_t, int, std::string> cases[] = {
      {nullptr, d, d.size(), -1, small}, {nullptr, d, d.size() + 1, 1, ""},
      {"M.f32", full, full.size(), -1, small}, {"M.f32", full, full.size() + 1, 1, small},  // only the second-layout name exists
      {"P.f16", u + "/P.f16", 99, 1, small},             // both exist: first layout wins
      {"mask_512.u8", u + "/mask_512.u8", 99, 0, small},  // neither
      {"notes.txt", u + "/notes.txt", 99, 0, small},      // no alternative, absent
  };
  testing::internal::CaptureStderr();
  for (const auto& [member, path, cap, rc, err] : cases) {
    ASSERT_EQ(tq_bundle_resolve_handle("/", buf, 1), -1);
    const Resolved r = member ? resolveMember(k, member, cap) : resolveHandle(d, cap);
    EXPECT_EQ(std::make_tuple(r.rc, r.out, r.err), std::make_tuple(rc, rc < 0 ? "" : path, err)) << path << " " << cap;
  }
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(tqtest::runFixtureTool({"bundle", t("plain"), "--layout", "second", "--member", "drive/si.i32=8"}));
  Resolved r = resolveMember(t("plain"), "drive/si.i32");
  EXPECT_EQ(std::make_pair(r.rc, r.out), std::make_pair(1, t("plain/idle_loop/source_index.i32")));
  // Unpacking failures carry the function's own name.
  ASSERT_TRUE(writeImx(t("bad.imx"), {text("/etc/x", "1")}));
  r = resolveMember(t("bad.imx"), "M.f32");
  EXPECT_EQ(std::make_tuple(r.rc, r.out, r.err),
            std::make_tuple(-1, "", "tq_bundle_resolve_member: " + t("bad.imx") + ": refusing unsafe member name '/etc/x'"));
}

}  // namespace
