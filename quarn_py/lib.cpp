// The module object: docstring, function table, version, and the checks made
// when the interpreter imports it.
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"

#include <cstdint>

namespace quarn::py {
namespace {

constexpr const char kModuleDoc[] =
    "Quarn Python module\n"
    "\n"
    "# Example\n"
    "\n"
    "```python\n"
    "import quarn_py\n"
    "\n"
    "# Tokenize text\n"
    "tokens = quarn_py.tokenize(\"Patient presents with chest pain\")\n"
    "# Returns: [\"patient\", \"presents\", \"with\", \"chest\", \"pain\"]\n"
    "\n"
    "# Extract entities\n"
    "entities = quarn_py.extract_entities(\"Patient has diabetes and takes insulin\")\n"
    "# Returns: [{\"text\": \"diabetes\", \"type\": \"condition\", \"start\": 13, \"end\": 21}, ...]\n"
    "\n"
    "# Create audit trail\n"
    "audit = quarn_py.create_audit(\"note-123\", entities_json, timestamp=1234567890)\n"
    "\n"
    "# Verify integrity\n"
    "verified = quarn_py.verify_audit(audit, entities_json)\n"
    "\n"
    "# Get version\n"
    "print(quarn_py.version())\n"
    "```";

// QUARN_VERSION is the project version of CMakeLists.txt, the one place it is
// written; the package metadata and `quarnc --version` read it from there too.
constexpr const char kVersion[] = "quarn-py " QUARN_VERSION " (Quarn core " QUARN_VERSION ")";

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromStringAndSize(kVersion, sizeof(kVersion) - 1);
}

#define QUARN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"tokenize", QUARN_FASTCALL(tokenize), METH_FASTCALL | METH_KEYWORDS,
     "tokenize(text)\n--\n\nDeterministically tokenize text into lowercase words\n\n# Arguments\n* "
     "`text` - The text to tokenize\n\n# Returns\nA list of lowercased tokens"},
    {"extract_entities", QUARN_FASTCALL(extract_entities), METH_FASTCALL | METH_KEYWORDS,
     "extract_entities(text)\n--\n\nExtract clinical entities from text\n\nPerforms deterministic "
     "pattern-based entity extraction for:\n- Symptoms, medications, conditions, procedures, "
     "anatomy\n\n# Arguments\n* `text` - The clinical note text\n\n# Returns\nA list of "
     "dictionaries with keys: text, type, start, end"},
    {"create_audit", QUARN_FASTCALL(create_audit), METH_FASTCALL | METH_KEYWORDS,
     "create_audit(note_id, entities_json, timestamp=None)\n--\n\nCreate a deterministic audit "
     "trail for extracted entities\n\n# Arguments\n* `note_id` - Identifier for the clinical "
     "note\n* `entities_json` - JSON string of extracted entities\n* `timestamp` - Unix timestamp "
     "(optional, uses current time if not provided)\n\n# Returns\nJSON string containing the "
     "audit trail with BLAKE3 hash"},
    {"verify_audit", QUARN_FASTCALL(verify_audit), METH_FASTCALL | METH_KEYWORDS,
     "verify_audit(audit_json, entities_json)\n--\n\nVerify an audit trail's integrity\n\n# "
     "Arguments\n* `audit_json` - The JSON audit trail to verify\n* `entities_json` - The "
     "entities to verify against\n\n# Returns\nTrue if the hash matches, False otherwise"},
    {"compile_source", QUARN_FASTCALL(compile_source), METH_FASTCALL | METH_KEYWORDS,
     "compile_source(source)\n--\n\nCompile Quarn source code to bytecode\n\n# Arguments\n* "
     "`source` - Quarn source code\n\n# Returns\nDictionary with keys:\n- `success`: bool\n- "
     "`bytecode`: bytes (if successful)\n- `error`: str (if failed)"},
    {"execute_bytecode", QUARN_FASTCALL(execute_bytecode), METH_FASTCALL | METH_KEYWORDS,
     "execute_bytecode(bytecode)\n--\n\nExecute compiled Quarn bytecode\n\n# Arguments\n* "
     "`bytecode` - Compiled bytecode\n\n# Returns\nDictionary with keys:\n- `success`: bool\n- "
     "`output`: str (if successful)\n- `error`: str (if failed)"},
    {"version", version, METH_NOARGS, "version()\n--\n\nGet Quarn version information"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarn_py", kModuleDoc, 0, kMethods, nullptr, nullptr, nullptr, nullptr,
};

// Single-phase initialisation: the module object is made once and kept, and
// belongs to the first interpreter that imported it.
PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;
PyObject* g_internal_fault = nullptr;

}  // namespace

PyObject* raise_internal_fault(const char* what) {
  PyErr_SetString(g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError, what);
  return nullptr;
}

}  // namespace quarn::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quarn_py() {
  using namespace quarn::py;
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (g_module != nullptr) {
    if (id != g_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "quarn_py is an extension module of a kind that does not support "
                      "sub-interpreters; import it only in the main interpreter");
      return nullptr;
    }
    return Py_NewRef(g_module);
  }
  if (g_internal_fault == nullptr) {
    // Not an Exception: callers' `except Exception` must not swallow a fault
    // that means the module itself is broken.
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "quarn_py.InternalFault", "An internal consistency failure inside quarn_py.",
        PyExc_BaseException, nullptr);
    if (g_internal_fault == nullptr) return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  g_module = Py_NewRef(module.get());  // kept for the life of the process
  g_interpreter = id;
  return module.release();
}
