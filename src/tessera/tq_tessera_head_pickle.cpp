// Pickle evaluation for a torch state dictionary.
//
// Values are immutable and share their payloads, so that memo fetches copy
// handles rather than data however often a pickle repeats them. Dictionaries
// are placeholders: the only thing kept from them is the list of (string key,
// tensor) pairs in the order the pickle set them.
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "tessera/tq_tessera_head_archive.h"

namespace tq {
namespace tessera {
namespace head {

namespace {

// Deepest tuple nesting accepted; a state dictionary needs three levels.
constexpr int kMaxTupleDepth = 64;

struct PVal {
  enum Type { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor } type = None;
  int64_t i = 0;                                  // Bool, Int; Tensor: storage offset
  std::shared_ptr<const std::string> s;           // Str, Global, Storage and Tensor: key
  std::shared_ptr<const std::vector<PVal>> items;  // Tuple
  std::shared_ptr<const std::vector<int64_t>> shape;  // Tensor
  int depth = 0;                                  // tuple nesting

  static PVal str(Type t, std::string text) {
    PVal v;
    v.type = t;
    v.s = std::make_shared<const std::string>(std::move(text));
    return v;
  }
};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

class Machine {
 public:
  Machine(const uint8_t* data, std::size_t size, uint64_t maxElements)
      : p_(data), end_(data + size), maxElements_(maxElements) {}

  TensorList run() {
    for (;;) {
      const uint8_t op = byte();
      switch (op) {
        case 0x80: byte(); break;  // PROTO
        case '(': marks_.push_back(stack_.size()); break;
        case ')': push(tuple({})); break;
        case 't': {
          const std::size_t m = popMark();
          std::vector<PVal> items(stack_.begin() + m, stack_.end());
          stack_.resize(m);
          push(tuple(std::move(items)));
          break;
        }
        case 0x85:
        case 0x86:
        case 0x87: {
          const std::size_t n = op - 0x84;
          need(n);
          std::vector<PVal> items(stack_.end() - n, stack_.end());
          stack_.resize(stack_.size() - n);
          push(tuple(std::move(items)));
          break;
        }
        case '}': {
          PVal d;
          d.type = PVal::Dict;
          push(d);
          break;
        }
        case 's': {
          PVal value = pop();
          PVal key = pop();
          setItem(key, value);
          break;
        }
        case 'u': {
          const std::size_t m = popMark();
          if ((stack_.size() - m) % 2 != 0) fail("teeth: pickle SETITEMS with an odd item count");
          for (std::size_t k = m; k < stack_.size(); k += 2) setItem(stack_[k], stack_[k + 1]);
          stack_.resize(m);
          break;
        }
        case 'N': push(PVal()); break;
        case 0x88:
        case 0x89: {
          PVal b;
          b.type = PVal::Bool;
          b.i = op == 0x88;
          push(b);
          break;
        }
        case 'J': push(integer(static_cast<int32_t>(le(4)))); break;
        case 'K': push(integer(le(1))); break;
        case 'M': push(integer(le(2))); break;
        case 'X': {
          const uint64_t n = le(4);
          if (n > static_cast<uint64_t>(end_ - p_)) fail("teeth: pickle truncated");
          push(PVal::str(PVal::Str, std::string(reinterpret_cast<const char*>(p_), n)));
          p_ += n;
          break;
        }
        case 'c': {
          std::string module = line();
          push(PVal::str(PVal::Global, module + " " + line()));
          break;
        }
        case 'q': memo_[static_cast<uint32_t>(le(1))] = top(); break;
        case 'r': memo_[static_cast<uint32_t>(le(4))] = top(); break;
        case 'h': push(memoGet(static_cast<uint32_t>(le(1)), "teeth: pickle BINGET out of range")); break;
        case 'j':
          push(memoGet(static_cast<uint32_t>(le(4)), "teeth: pickle LONG_BINGET out of range"));
          break;
        case 'Q': push(persistentId(pop())); break;
        case 'R': {
          PVal args = pop();
          PVal callable = pop();
          push(reduce(callable, args));
          break;
        }
        case 'b': break;  // BUILD: state is not applied
        case '.': return std::move(tensors_);
        default: {
          char hex[3];
          std::snprintf(hex, sizeof hex, "%02x", op);
          fail(std::string("teeth: unsupported pickle opcode 0x") + hex + " in head .pt");
        }
      }
    }
  }

 private:
  uint8_t byte() {
    if (p_ == end_) fail("teeth: pickle truncated");
    return *p_++;
  }
  uint64_t le(int n) {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) v |= uint64_t(byte()) << (8 * k);
    return v;
  }
  std::string line() {
    std::string s;
    for (uint8_t c; (c = byte()) != '\n';) s.push_back(static_cast<char>(c));
    return s;
  }

  // Values above the innermost mark; popping below it would cut the mark.
  std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
  void need(std::size_t n) const {
    if (stack_.size() - fence() < n) fail("teeth: pickle stack underflow");
  }
  void push(PVal v) { stack_.push_back(std::move(v)); }
  PVal pop() {
    need(1);
    PVal v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  const PVal& top() const {
    need(1);
    return stack_.back();
  }
  std::size_t popMark() {
    if (marks_.empty()) fail("teeth: pickle mark stack underflow");
    const std::size_t m = marks_.back();
    marks_.pop_back();
    return m;
  }

  static PVal integer(int64_t i) {
    PVal v;
    v.type = PVal::Int;
    v.i = i;
    return v;
  }
  static PVal tuple(std::vector<PVal> items) {
    PVal v;
    v.type = PVal::Tuple;
    for (const PVal& x : items) v.depth = std::max(v.depth, x.depth);
    if (++v.depth > kMaxTupleDepth) fail("teeth: pickle nests tuples too deeply");
    v.items = std::make_shared<const std::vector<PVal>>(std::move(items));
    return v;
  }

  PVal memoGet(uint32_t index, const char* missing) const {
    const auto it = memo_.find(index);
    if (it == memo_.end()) fail(missing);
    return it->second;
  }

  void setItem(const PVal& key, const PVal& value) {
    if (key.type == PVal::Str && value.type == PVal::Tensor) {
      if (tensors_.size() >= kMaxTensors)
        fail("teeth: head .pt sets more than " + std::to_string(kMaxTensors) +
             " tensors \xe2\x80\x94 a blend head has 10; refusing the rest of this state_dict");
      TensorRef t;
      t.storageKey = *value.s;
      t.offset = value.i;
      t.shape = value.shape;
      tensors_.emplace_back(*key.s, std::move(t));
    }
  }

  static PVal persistentId(const PVal& pid) {
    const std::vector<PVal>* t = pid.type == PVal::Tuple ? pid.items.get() : nullptr;
    if (!t || t->size() < 5 || (*t)[0].type != PVal::Str || *(*t)[0].s != "storage" ||
        (*t)[1].type != PVal::Global || (*t)[2].type != PVal::Str)
      fail("teeth: unexpected persistent id in head .pt");
    if (*(*t)[1].s != "torch FloatStorage")
      fail("teeth: head .pt storage is " + *(*t)[1].s +
           ", not torch FloatStorage — refusing to reinterpret it");
    return PVal::str(PVal::Storage, *(*t)[2].s);
  }

  PVal reduce(const PVal& callable, const PVal& args) const {
    if (callable.type != PVal::Global)
      fail("teeth: head .pt calls a value that is not a global — this reader refuses code it "
           "does not model");
    const std::string& name = *callable.s;
    if (name == "collections OrderedDict") {
      PVal d;
      d.type = PVal::Dict;
      return d;
    }
    if (name != "torch._utils _rebuild_tensor_v2")
      fail("teeth: head .pt calls " + name + " — this reader refuses code it does not model");
    const std::vector<PVal>* a = args.type == PVal::Tuple ? args.items.get() : nullptr;
    if (!a || a->size() < 4 || (*a)[0].type != PVal::Storage || (*a)[1].type != PVal::Int ||
        (*a)[2].type != PVal::Tuple || (*a)[3].type != PVal::Tuple)
      fail("teeth: malformed _rebuild_tensor_v2");
    const std::vector<PVal>& dims = *(*a)[2].items;
    if (dims.size() > kMaxTensorDims)
      fail("teeth: head .pt tensor has " + std::to_string(dims.size()) + " dimensions; a head tensor has at most " +
           std::to_string(kMaxTensorDims));
    auto shape = std::make_shared<std::vector<int64_t>>();
    uint64_t elements = 1;
    for (const PVal& d : dims) {
      if (d.type != PVal::Int) fail("teeth: malformed _rebuild_tensor_v2");
      if (d.i < 0) fail("teeth: head .pt tensor dimension " + std::to_string(d.i) + " is negative");
      // Compared before multiplying, so the count never wraps.
      if (d.i > 0 && elements > maxElements_ / static_cast<uint64_t>(d.i))
        fail("teeth: head .pt describes a tensor larger than its whole archive (" + std::to_string(maxElements_ * 4) +
             " bytes)");
      elements *= static_cast<uint64_t>(d.i);
      shape->push_back(d.i);
    }
    PVal t;
    t.type = PVal::Tensor;
    t.s = (*a)[0].s;
    t.i = (*a)[1].i;
    t.shape = std::move(shape);
    return t;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t maxElements_;
  std::vector<PVal> stack_;
  std::vector<std::size_t> marks_;
  // Indices are sparse and may be large: a map holds only those written.
  std::map<uint32_t, PVal> memo_;
  TensorList tensors_;
};

}  // namespace

TensorList evalPickle(const uint8_t* data, std::size_t size, uint64_t maxElements) {
  Machine m(data, size, maxElements);
  return m.run();
}

}  // namespace head
}  // namespace tessera
}  // namespace tq
