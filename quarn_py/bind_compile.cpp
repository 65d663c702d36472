// compile_source(source): one call of the compile driver, its outcome as a
// fresh dict, `success` first, then `bytecode` (list of int) or `error`.
#include "quarn_compiler/compile.h"
#include "quarn_py/args.h"
#include "quarn_py/byte_list.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"
#include "quarn_py/results.h"
#include "quarn_py/unlock_sizes.h"

#include <cstdint>
#include <vector>

namespace quarn::py {
namespace {

// The encoded program of each call is copied into the list and then no
// longer needed, so each thread keeps its buffer for its next call: a large
// compile then neither maps fresh memory and faults it in page by page, nor
// unmaps it afterwards, which in a process running threads on other cores
// stalls them all. A buffer that grew past kKeptOutputBytes is let go, so
// that one huge compile does not pin its memory for the thread's lifetime.
//
// Building the list may run a finalizer, which may compile again on the same
// thread while the outer call still reads its bytes: a call that finds the
// thread's buffer taken uses one of its own.
class OutputBuffer {
 public:
  OutputBuffer() : kept_(!slot().taken) {
    if (kept_) slot().taken = true;
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() {
    if (!kept_) return;
    std::vector<std::uint8_t>& buffer = slot().bytes;
    if (buffer.capacity() > kKeptOutputBytes) {
      std::vector<std::uint8_t>().swap(buffer);
    } else {
      buffer.clear();
    }
    slot().taken = false;
  }
  std::vector<std::uint8_t>& bytes() { return kept_ ? slot().bytes : own_; }

 private:
  static constexpr std::size_t kKeptOutputBytes = std::size_t{64} << 20;
  struct Slot {
    std::vector<std::uint8_t> bytes;
    bool taken = false;
  };
  static Slot& slot() {
    thread_local Slot kept;
    return kept;
  }

  bool kept_;
  std::vector<std::uint8_t> own_;
};

}  // namespace

PyObject* compile_source(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"source"};
    static constexpr Signature kSig{"compile_source", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view source;  // the str's own UTF-8 form: immutable, held by the caller
    if (!text_argument("source", slots[0], source)) return nullptr;

    OutputBuffer buffer;
    auto outcome = without_lock(source.size() >= kCompileUnlockBytes, [&] {
      return compiler::compile_program_into(source, buffer.bytes());
    });
    if (!outcome.ok()) {
      // Error texts quote the source, which came in as UTF-8; "replace"
      // only guards against a fault there turning into an exception.
      return result_dict(false, "error", utf8_str(outcome.error().message, "replace"));
    }
    PyRef list = byte_list(buffer.bytes());
    if (!list) return nullptr;
    return result_dict(true, "bytecode", std::move(list));
  });
}

}  // namespace quarn::py
