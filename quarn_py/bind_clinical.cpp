// The clinical functions: tokenize, extract_entities, create_audit,
// verify_audit. Each converts its arguments, calls one operation of clinical/
// and builds the Python result; the interpreter lock is held throughout.
#include "clinical/audit.h"
#include "clinical/dictionary.h"
#include "clinical/entities.h"
#include "clinical/tokenizer.h"
#include "quarn_py/args.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace quarn::py {
namespace {

// New references waiting to become a list's items; released if the list is
// never made.
class PendingItems {
 public:
  PendingItems() = default;
  PendingItems(const PendingItems&) = delete;
  PendingItems& operator=(const PendingItems&) = delete;
  ~PendingItems() {
    for (PyObject* o : items_) Py_DECREF(o);
  }
  void reserve(std::size_t n) { items_.reserve(n); }
  // REQUIRES: o is a new reference (not null); it is owned from here on.
  void push(PyObject* o) {
    try {
      items_.push_back(o);
    } catch (...) {
      Py_DECREF(o);
      throw;
    }
  }
  // A list of exactly the pending items, which it takes over.
  PyObject* into_list() {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[i]);
    }
    items_.clear();
    return list;
  }

 private:
  std::vector<PyObject*> items_;
};

// An ASCII token goes straight into a compact ASCII str, lower-cased on the
// way. Notes repeat their words, so short tokens are looked up first in a
// small direct-mapped table of the strs this call already made (the list
// holds a reference to each, so they live as long as the table); equal
// tokens then share one str instead of each getting its own.
class AsciiTokens {
 public:
  PyObject* make(std::string_view piece) {
    const std::size_t n = piece.size();
    if (n == 1) {
      auto c = static_cast<unsigned char>(piece[0]);
      return PyUnicode_FromOrdinal(c >= 'A' && c <= 'Z' ? c + 0x20 : c);  // the shared str
    }
    if (n > kMaxCached) return fresh(piece);
    char low[kMaxCached] = {};
    clinical::ascii_lower(piece.data(), n, low);
    std::uint64_t a, b;
    std::memcpy(&a, low, 8);
    std::memcpy(&b, low + 8, 8);
    std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ n;
    PyObject*& slot = slots_[(h ^ (h >> 29)) & (kSlots - 1)];
    if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
        std::memcmp(PyUnicode_DATA(slot), low, n) == 0) {
      return Py_NewRef(slot);
    }
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(s), low, n);
    slot = s;  // borrowed: the caller keeps the reference returned
    return s;
  }

 private:
  static constexpr std::size_t kMaxCached = 16;
  static constexpr std::size_t kSlots = 4096;

  static PyObject* fresh(std::string_view piece) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(piece.size()), 127);
    if (s == nullptr) return nullptr;
    clinical::ascii_lower(piece.data(), piece.size(), static_cast<char*>(PyUnicode_DATA(s)));
    return s;
  }

  std::vector<PyObject*> slots_ = std::vector<PyObject*>(kSlots, nullptr);
};

PyObject* unicode_token(std::string_view piece, std::string& scratch) {
  scratch.clear();
  clinical::append_lower(piece, scratch);
  return PyUnicode_DecodeUTF8(scratch.data(), static_cast<Py_ssize_t>(scratch.size()), nullptr);
}

PyObject* utf8_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// The strs every entity dict is made of, made once and kept (immutable).
struct EntityStrings {
  PyObject* text_key;
  PyObject* type_key;
  PyObject* start_key;
  PyObject* end_key;
  PyObject* terms[clinical::kTermCount];
  PyObject* categories[std::size(clinical::kCategoryNames)];
  // Per term, {"text": term, "type": category, "start": None, "end": None}:
  // copying one and setting two values is cheaper than four insertions.
  PyObject* templates[clinical::kTermCount];
};

const EntityStrings* entity_strings() {
  static EntityStrings* cached = nullptr;  // guarded by the interpreter lock
  if (cached != nullptr) return cached;
  auto* made = new EntityStrings{};
  bool ok = (made->text_key = PyUnicode_InternFromString("text")) &&
            (made->type_key = PyUnicode_InternFromString("type")) &&
            (made->start_key = PyUnicode_InternFromString("start")) &&
            (made->end_key = PyUnicode_InternFromString("end"));
  for (std::size_t t = 0; ok && t < clinical::kTermCount; ++t) {
    ok = (made->terms[t] = utf8_str(clinical::kTerms[t].text)) != nullptr;
  }
  for (std::size_t c = 0; ok && c < std::size(clinical::kCategoryNames); ++c) {
    ok = (made->categories[c] = utf8_str(clinical::kCategoryNames[c])) != nullptr;
  }
  for (std::size_t t = 0; ok && t < clinical::kTermCount; ++t) {
    PyObject* d = made->templates[t] = PyDict_New();
    ok = d != nullptr && PyDict_SetItem(d, made->text_key, made->terms[t]) == 0 &&
         PyDict_SetItem(d, made->type_key,
                        made->categories[static_cast<std::size_t>(clinical::kTerms[t].category)]) == 0 &&
         PyDict_SetItem(d, made->start_key, Py_None) == 0 &&
         PyDict_SetItem(d, made->end_key, Py_None) == 0;
  }
  if (!ok) {
    PyObject** all = &made->text_key;
    for (std::size_t i = 0; i < sizeof(EntityStrings) / sizeof(PyObject*); ++i) Py_XDECREF(all[i]);
    delete made;
    return nullptr;
  }
  cached = made;
  return cached;
}

// {"text": term, "type": category, "start": start, "end": end}, in that order.
PyObject* entity_dict(const EntityStrings& strs, const clinical::EntityMatch& m) {
  PyRef start = PyRef::steal(PyLong_FromSize_t(m.start));
  if (!start) return nullptr;
  PyRef end = PyRef::steal(PyLong_FromSize_t(m.end));
  if (!end) return nullptr;
  PyRef dict = PyRef::steal(PyDict_Copy(strs.templates[m.term]));
  if (!dict) return nullptr;
  if (PyDict_SetItem(dict.get(), strs.start_key, start.get()) < 0 ||
      PyDict_SetItem(dict.get(), strs.end_key, end.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

// The wall clock in whole seconds since the epoch; 0 before it.
std::uint64_t now_seconds() {
  auto since = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return since.count() < 0 ? 0 : static_cast<std::uint64_t>(since.count());
}

}  // namespace

PyObject* tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"text"};
    static constexpr Signature kSig{"tokenize", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view text;
    if (!text_argument("text", slots[0], text)) return nullptr;

    PendingItems tokens;  // declared before `ascii`: it owns what the table borrows
    AsciiTokens ascii_tokens;
    std::string scratch;
    bool failed = false;
    clinical::for_each_token(text, [&](std::string_view piece, bool ascii) {
      PyObject* token = ascii ? ascii_tokens.make(piece) : unicode_token(piece, scratch);
      if (token == nullptr) return !(failed = true);
      tokens.push(token);
      return true;
    });
    if (failed) return nullptr;
    return tokens.into_list();
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

    const EntityStrings* strs = entity_strings();
    if (strs == nullptr) return nullptr;
    std::vector<clinical::EntityMatch> matches = clinical::extract_entities(text);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < matches.size(); ++i) {
      PyObject* dict = entity_dict(*strs, matches[i]);
      if (dict == nullptr) return nullptr;  // the list's empty slots are NULL: safe to drop
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
    }
    return list.release();
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

    auto record = clinical::create_audit(note_id, entities_json, timestamp);
    if (!record.ok()) {
      PyErr_Format(PyExc_RuntimeError, "Failed to serialize audit: %s",
                   record.error().message.c_str());
      return nullptr;
    }
    return utf8_str(record.value());
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

    auto verified = clinical::verify_audit(audit_json, entities_json);
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
