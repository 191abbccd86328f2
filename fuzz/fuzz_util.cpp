#include "fuzz_util.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "render/graph_normalise.h"
#include "render/gs_wire.h"

namespace tqfuzz {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void makeParents(const std::string& path) {
  for (std::size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tq_fuzz_XXXXXX";
  if (!::mkdtemp(&tmpl[0])) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = tmpl;
}

TempDir::~TempDir() { removeTree(path_); }

void removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

void writeFile(const std::string& path, const void* data, std::size_t size) {
  makeParents(path);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;  // a name the fuzzer made up that the file system refuses
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

void writeFile(const std::string& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

std::vector<std::string> segments(const uint8_t* data, std::size_t size) {
  static const char kSep[] = "\n@@\n";
  const std::string all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = all.find(kSep, start);
    if (at == std::string::npos) break;
    out.push_back(all.substr(start, at - start));
    start = at + sizeof kSep - 1;
  }
  out.push_back(all.substr(start));
  return out;
}

void readGraphBack(const std::vector<uint8_t>& model) {
  std::vector<tq::GsNodeInfo> nodes;
  std::vector<std::string> inits, inputs;
  const tq::GsSlice graph = tq::gsGraphOf(model);
  tq::gsReadGraph(graph, nodes, inits, inputs);
  for (const tq::GsNodeInfo& n : nodes) {
    (void)tq::hcReadAttrs(n.bytes);
    const tq::GsSlice v = tq::hcConstValue(n.bytes);
    std::vector<float> floats;
    std::vector<int64_t> dims;
    if (!v.empty()) {
      tq::hcTensorFloats(v, floats);
      tq::hcTensorDims(v, dims);
    }
  }
  for (const std::string& in : inputs) {
    int64_t first = 0, last = 0, count = 0;
    tq::ldInputDims(graph, in, first, last, count);
  }
}

}  // namespace tqfuzz
