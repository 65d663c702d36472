// The clinical functions: tokenize, extract_entities, create_audit,
// verify_audit. Each converts its arguments, runs one operation of clinical/
// (without the interpreter lock when the input is large, see unlock_sizes.h)
// and builds the Python result with the lock held.
#include "clinical/audit.h"
#include "clinical/dictionary.h"
#include "clinical/entities.h"
#include "clinical/tokenizer.h"
#include "quarn_py/args.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"
#include "quarn_py/results.h"
#include "quarn_py/unlock_sizes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace quarn::py {
namespace {

// Results of long notes are made in slices of this many items, each well under
// a millisecond, with the lock let go between them (see filled_list).
constexpr std::size_t kItemsPerSlice = 4096;

// The str of a token that is no repeat: one-character tokens are the
// interpreter's own shared strs; other ASCII tokens become compact ASCII strs,
// lower-cased as they are copied in (byte for byte, so no dearer than the
// copy), or copied from `lowered` when the caller has their lower case.
PyRef first_token_str(const clinical::TokenBounds& tokens, std::size_t i, const char* lowered) {
  std::string_view piece = tokens.piece(i);
  if (!tokens.ascii(i)) return utf8_str(piece);
  const std::size_t n = piece.size();
  if (n == 1) {
    auto c = static_cast<unsigned char>(piece[0]);
    return PyRef::steal(PyUnicode_FromOrdinal(c >= 'A' && c <= 'Z' ? c + 0x20 : c));
  }
  PyRef s = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
  if (!s) return s;
  auto* data = static_cast<char*>(PyUnicode_DATA(s.get()));
  if (lowered != nullptr) {
    std::memcpy(data, lowered, n);
  } else {
    clinical::ascii_lower(piece.data(), n, data);
  }
  return s;
}

// A repeated token shares the str of its first (see RepeatLinker). Long
// notes were linked without the lock (`linked`); short ones, which keep the
// lock throughout, are linked as their list is filled, sparing a pass.
PyRef token_list(const clinical::TokenBounds& tokens, bool linked) {
  clinical::RepeatLinker linker(linked ? 0 : tokens.size());
  char key[16];
  return filled_list(tokens.size(), kItemsPerSlice, [&](std::size_t i, PyObject* const* made) {
    if (linked) {
      std::uint32_t first = tokens.repeat_of(i);
      return first != clinical::RepeatLinker::kFirst ? PyRef::borrow(made[first])
                                                     : first_token_str(tokens, i, nullptr);
    }
    std::uint32_t first = linker.link(tokens, i, key);
    if (first != clinical::RepeatLinker::kFirst) return PyRef::borrow(made[first]);
    return first_token_str(tokens, i,
                           tokens.piece(i).size() <= clinical::RepeatLinker::kMaxLinked ? key : nullptr);
  });
}

// The strs every entity dict is made of, made once and kept (immutable).
struct EntityStrings {
  PyRef start_key;
  PyRef end_key;
  // Per term, {"text": term, "type": category, "start": None, "end": None}:
  // copying one and setting two values is cheaper than four insertions.
  std::array<PyRef, clinical::kTermCount> templates;
};

// REQUIRES: the interpreter lock (it guards the cache).
const EntityStrings* entity_strings() {
  static const EntityStrings* cached = nullptr;
  if (cached != nullptr) return cached;
  auto made = std::make_unique<EntityStrings>();
  PyRef text_key = PyRef::steal(PyUnicode_InternFromString("text"));
  PyRef type_key = PyRef::steal(PyUnicode_InternFromString("type"));
  made->start_key = PyRef::steal(PyUnicode_InternFromString("start"));
  made->end_key = PyRef::steal(PyUnicode_InternFromString("end"));
  if (!text_key || !type_key || !made->start_key || !made->end_key) return nullptr;
  std::array<PyRef, std::size(clinical::kCategoryNames)> categories;
  for (std::size_t c = 0; c < categories.size(); ++c) {
    if (!(categories[c] = utf8_str(clinical::kCategoryNames[c]))) return nullptr;
  }
  for (std::size_t t = 0; t < clinical::kTermCount; ++t) {
    PyRef term = utf8_str(clinical::kTerms[t].text);
    PyRef d = PyRef::steal(PyDict_New());
    if (!term || !d) return nullptr;
    PyObject* category = categories[static_cast<std::size_t>(clinical::kTerms[t].category)].get();
    if (PyDict_SetItem(d.get(), text_key.get(), term.get()) < 0 ||
        PyDict_SetItem(d.get(), type_key.get(), category) < 0 ||
        PyDict_SetItem(d.get(), made->start_key.get(), Py_None) < 0 ||
        PyDict_SetItem(d.get(), made->end_key.get(), Py_None) < 0) {
      return nullptr;
    }
    made->templates[t] = std::move(d);
  }
  cached = made.release();  // kept for the life of the process
  return cached;
}

// {"text": term, "type": category, "start": start, "end": end}, in that order.
PyRef entity_dict(const EntityStrings& strs, const clinical::EntityMatch& m) {
  PyRef start = PyRef::steal(PyLong_FromSize_t(m.start));
  if (!start) return start;
  PyRef end = PyRef::steal(PyLong_FromSize_t(m.end));
  if (!end) return end;
  PyRef dict = PyRef::steal(PyDict_Copy(strs.templates[m.term].get()));
  if (!dict) return dict;
  if (PyDict_SetItem(dict.get(), strs.start_key.get(), start.get()) < 0 ||
      PyDict_SetItem(dict.get(), strs.end_key.get(), end.get()) < 0) {
    return PyRef();
  }
  return dict;
}

PyRef entity_list(const std::vector<clinical::EntityMatch>& matches) {
  const EntityStrings* strs = entity_strings();
  if (strs == nullptr) return PyRef();
  return filled_list(matches.size(), kItemsPerSlice,
                     [&](std::size_t i, PyObject* const*) { return entity_dict(*strs, matches[i]); });
}

// The wall clock in whole seconds since the epoch; 0 before it.
std::uint64_t now_seconds() {
  auto since = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return since.count() < 0 ? 0 : static_cast<std::uint64_t>(since.count());
}

}  // namespace

// Text arguments are views into the strs' own UTF-8 forms: immutable, and held
// by the caller for the whole call, so the work may read them without the lock.

PyObject* tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"text"};
    static constexpr Signature kSig{"tokenize", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view text;
    if (!text_argument("text", slots[0], text)) return nullptr;

    clinical::TokenBounds tokens;
    const bool unlocked = text.size() >= kTokenizeUnlockBytes;
    without_lock(unlocked, [&] {
      tokens.scan(text);
      if (unlocked) tokens.link_repeats();
    });
    return token_list(tokens, unlocked).release();
  });
}

PyObject* extract_entities(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"text"};
    static constexpr Signature kSig{"extract_entities", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view text;
    if (!text_argument("text", slots[0], text)) return nullptr;

    std::vector<clinical::EntityMatch> matches = without_lock(
        text.size() >= kEntitiesUnlockBytes, [&] { return clinical::extract_entities(text); });
    return entity_list(matches).release();
  });
}

PyObject* create_audit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"note_id", "entities_json", "timestamp"};
    static constexpr Signature kSig{"create_audit", kParams, 3, 2};
    PyObject* slots[3];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view note_id, entities_json;
    if (!text_argument("note_id", slots[0], note_id)) return nullptr;
    if (!text_argument("entities_json", slots[1], entities_json)) return nullptr;
    std::uint64_t timestamp = 0;
    if (slots[2] == nullptr || slots[2] == Py_None) {
      timestamp = now_seconds();
    } else if (!u64_argument("timestamp", slots[2], timestamp)) {
      return nullptr;
    }

    auto record = without_lock(note_id.size() + entities_json.size() >= kAuditUnlockBytes, [&] {
      return clinical::create_audit(note_id, entities_json, timestamp);
    });
    if (!record.ok()) {
      PyErr_Format(PyExc_RuntimeError, "Failed to serialize audit: %s",
                   record.error().message.c_str());
      return nullptr;
    }
    return utf8_str(record.value()).release();
  });
}

PyObject* verify_audit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"audit_json", "entities_json"};
    static constexpr Signature kSig{"verify_audit", kParams, 2, 2};
    PyObject* slots[2];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view audit_json, entities_json;
    if (!text_argument("audit_json", slots[0], audit_json)) return nullptr;
    if (!text_argument("entities_json", slots[1], entities_json)) return nullptr;

    auto verified = without_lock(audit_json.size() + entities_json.size() >= kAuditUnlockBytes,
                                 [&] { return clinical::verify_audit(audit_json, entities_json); });
    if (!verified.ok()) {
      PyErr_SetString(PyExc_ValueError, verified.error() == clinical::VerifyError::InvalidJson
                                            ? "Invalid audit JSON"
                                            : "No hash in audit");
      return nullptr;
    }
    return PyBool_FromLong(verified.value());
  });
}

}  // namespace quarn::py
