// Bundle manifest and member lookup.
//
// manifest.json is never parsed into a tree: each scalar key is located by a
// byte scan of the raw text (tq::manifest_key), and a key that occurs more than
// once in a way that could be mistaken for the one meant is refused instead of
// being picked silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {

// Unsharp-mask parameters handed to the paste compositor.
struct Unsharp {
  float amount;
  float sigma;
  int ksize;
};

// The parsed manifest of one bundle. Plain value type.
struct Manifest {
  std::string dir;          // resolved bundle directory, base of every member path
  std::string agent;        // "agent", verbatim
  int32_t NT = 0;           // identity frames (rows of every per-identity array)
  int32_t H = 0;            // driver frame height
  int32_t W = 0;            // driver frame width
  int32_t M_src_w = 0;      // canvas width the paste transforms were authored on
  int32_t M_src_h = 0;      // canvas height
  int32_t crop = 512;       // side of the square face crop
  float amount = 1.3f;      // unsharp amount
  float sigma = 2.0f;       // unsharp Gaussian sigma
  int32_t ksize = 13;       // unsharp kernel size
  int32_t frames = 0;       // drive frames (rows of the drive arrays)
  std::string lipTemplate;  // text of "lip_template.v1.json", empty when absent

  // Path of the renderer graph "model_<key>.onnx" (either naming layout).
  std::string modelPath(const std::string& key) const;
  Unsharp unsharp() const { return Unsharp{amount, sigma, ksize}; }
};

// Resolves bundlePath (directory, ".tqbundle" directory or IMX container), reads
// and checks its manifest.json. Throws std::runtime_error on any failure.
Manifest loadManifest(const std::string& bundlePath);

// Path of the file holding member `name` of the bundle in `dir`. Tries the
// second naming layout when the first name cannot be opened and the second
// can. Never fails; for an absent member the returned path does not exist.
std::string resolveMember(const std::string& dir, const std::string& name);

// Second-layout name of member `name`, or an empty string when it has none.
std::string canonicalMember(const std::string& name);

// True when `path` can be opened for reading.
bool isReadable(const std::string& path);

// The whole file as a string. Throws "cannot open <path>" / "short read <path>".
std::string readFile(const std::string& path);

namespace manifest_key {

// One occurrence of a key in the manifest text.
struct KeyHit {
  uint64_t pos;   // first non-space byte after the colon (text length if none)
  int32_t depth;  // bracket depth of the key; 1 for the top-level object
  bool scalar;    // value begins with neither '{' nor '['
};

// Every occurrence of `key` as an object key, in text order.
std::vector<KeyHit> keyHits(const std::string& text, const char* key);

// Offset of the one scalar value `key` denotes, std::string::npos when none.
// Throws the AMBIGUOUS message when more than one could be meant.
std::size_t scalarValuePos(const std::string& text, const char* key);

// Pointer to the first character of the value of a required key; throws
// "manifest: missing key <key>" when absent.
const char* findKey(const std::string& text, const char* key);

// String value of a required key; throws "manifest: bad string <key>" when the
// value is not a closed string. Escapes are not interpreted.
std::string strField(const std::string& text, const char* key);

// Number under `key` (strtod; non-numbers read as 0). False when absent.
bool optNum(const std::string& text, const char* key, double& out);

// Number under `first`, else under `second`; a value of exactly -1e300 counts
// as absent. optNumEither returns false when both are absent; numFieldEither
// throws "manifest: missing key <first>/<second>".
bool optNumEither(const std::string& text, const char* first, const char* second, double& out);
double numFieldEither(const std::string& text, const char* first, const char* second);

// Optional string: true and `out` set only for a closed string of at least one
// character; otherwise false and `out` untouched.
bool optStr(const std::string& text, const char* key, std::string& out);

using tq::readFile;

}  // namespace manifest_key

}  // namespace tq
