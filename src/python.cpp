// The CPython module `quillmark`: the module object, its nine functions, the binding and
// conversion of their arguments and results, and the one place where an Error becomes a Python
// exception. Everything else is in the C++ core, which knows nothing of Python.
//
// Built against the stable ABI of CPython 3.9 (Py_LIMITED_API 0x03090000, set by the build).
// Legacy single-phase initialisation is what that ABI offers for a module that keeps one module
// object for the life of the process; multi-phase init would need per-module state throughout.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "buffer.h"
#include "error.h"
#include "reader.h"
#include "verify.h"
#include "writer.h"

namespace {

using quillmark::Buffer;
using quillmark::ByteView;
using quillmark::Error;
using quillmark::Result;

// ---------------------------------------------------------------------------------------------
// References

// An owned (strong) reference, released on every path.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Failures

// Sets `type` with `text` whole. A message may hold NUL bytes: a font's tag goes into it as its
// bytes decode, and NUL is valid UTF-8. PyErr_SetString would end the message at the first one.
void set_error(PyObject* type, const std::string& text) {
  Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
}

// Raises `error` as the ValueError callers tell apart by its message. The Error is consumed.
PyObject* map_err(Error error) {
  set_error(PyExc_ValueError, error.text());
  return nullptr;
}

// PanicException: a broken invariant inside quillmark. It derives from BaseException so that an
// `except Exception` meant for bad fonts does not swallow it. Made once, at first need; the GIL
// guards the check.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("quillmark.PanicException",
                                     "An internal failure of quillmark; please report it with the input that caused it.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

// Sets PanicException carrying `message`; returns NULL.
PyObject* raise_panic(const char* message) {
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
  return nullptr;
}

bool has_flag(PyObject* obj, unsigned long flag) { return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0; }

// The __qualname__ of an object's type, for conversion messages.
std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && has_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    Ref utf8(PyUnicode_AsUTF8String(name.get()));
    if (utf8) return std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

// Sets TypeError "'<type>' object cannot be converted to '<target>'"; returns false.
bool cannot_convert(PyObject* obj, const char* target) {
  std::string message = "'";  // built by appending: g++ 12 misreports "literal" + string (-Wrestrict)
  message += type_name(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  set_error(PyExc_TypeError, message);
  return false;
}

// A conversion failed: when its exception is exactly a TypeError, replace it by a TypeError that
// names the parameter ("argument 'font': ...") and keeps the original's __cause__; any other
// exception stands as it is.
void name_the_argument(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type);
  Ref owned_value(value);
  Ref owned_traceback(traceback);
  if (type != PyExc_TypeError || value == nullptr) {  // a subclass of TypeError stands as it is
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  Ref text(PyObject_Str(value));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  Ref renamed(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(renamed.get(), cause);  // steals
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

// ---------------------------------------------------------------------------------------------
// Argument binding: the module's own, with its own messages, the same for all nine functions.

constexpr std::size_t kMaxParams = 3;

struct Signature {
  const char* name;                              // without "()"
  std::size_t count;                             // parameters, every one positional-or-keyword
  std::size_t required;                          // the first `required` of them
  std::array<const char*, kMaxParams> params;
};

// Fills `slots` (borrowed references, null for a parameter not given) or raises TypeError.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject* (&slots)[kMaxParams]) {
  const std::size_t n = sig.count;
  for (PyObject*& slot : slots) slot = nullptr;

  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  const char* verb = given == 1 ? "was" : "were";
  if (static_cast<std::size_t>(given) > n) {
    if (sig.required == n) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", sig.name, n, given, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                   sig.required, n, given, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t match = n;
      if (has_flag(key, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        for (std::size_t i = 0; i < n; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            match = i;
            break;
          }
        }
      }
      if (match == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
        return false;
      }
      if (slots[match] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[match]);
        return false;
      }
      slots[match] = value;
    }
  }

  if (static_cast<std::size_t>(given) < sig.required) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
      if (slots[i] == nullptr) missing.push_back(sig.params[i]);
    }
    if (!missing.empty()) {
      std::string names;
      for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += "'";
        names += missing[i];
        names += "'";
      }
      PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.name, missing.size(),
                   missing.size() == 1 ? "argument" : "arguments", names.c_str());
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Argument conversion. Each sets an exception and returns nothing on failure; the caller names
// the argument (name_the_argument).

// A bytes object (or subclass), read in place: the argument tuple keeps it alive for the call
// and bytes are immutable, so nothing is copied.
std::optional<ByteView> to_font(PyObject* obj) {
  if (!has_flag(obj, Py_TPFLAGS_BYTES_SUBCLASS)) {
    cannot_convert(obj, "PyBytes");
    return std::nullopt;
  }
  const char* data = PyBytes_AsString(obj);
  const Py_ssize_t size = PyBytes_Size(obj);
  if (data == nullptr || size < 0) return std::nullopt;
  return ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

// The first buffer reservation for a sequence of unknown honesty: __len__ is only a hint, and a
// lying one must not make the conversion allocate gigabytes up front. Past this the buffer
// grows as items actually arrive.
constexpr Py_ssize_t kMaxLengthHint = Py_ssize_t{1} << 20;

// bytes, bytearray, or any sequence of integers 0..255, copied into an owned buffer.
std::optional<Buffer> to_store(PyObject* obj) {
  if (has_flag(obj, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  // The exact built-in byte types iterate to their own bytes: copy those directly.
  if (PyBytes_CheckExact(obj)) {
    return Buffer::copy_of(*to_font(obj));
  }
  if (PyByteArray_CheckExact(obj)) {
    const char* data = PyByteArray_AsString(obj);
    const std::size_t size = static_cast<std::size_t>(PyByteArray_Size(obj));
    return Buffer::copy_of(ByteView(reinterpret_cast<const std::uint8_t*>(data), size));
  }
  if (!PySequence_Check(obj)) {
    cannot_convert(obj, "Sequence");
    return std::nullopt;
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(std::min(hint, kMaxLengthHint)));
  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) return std::nullopt;
  while (Ref item{PyIter_Next(iterator.get())}) {
    long value;
    if (has_flag(item.get(), Py_TPFLAGS_LONG_SUBCLASS)) {
      value = PyLong_AsLong(item.get());
    } else {
      Ref index(PyNumber_Index(item.get()));
      if (!index) return std::nullopt;
      value = PyLong_AsLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return Buffer::copy_of(bytes);
}

// An unsigned 64-bit integer; 2**64 - 1 itself is a valid value, not a failure.
std::optional<std::uint64_t> to_size(PyObject* obj) {
  Ref index;
  if (!has_flag(obj, Py_TPFLAGS_LONG_SUBCLASS)) {
    index = Ref(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

// A str, encoded as strict UTF-8 (a lone surrogate raises UnicodeEncodeError).
std::optional<std::string> to_uri(PyObject* obj) {
  if (!has_flag(obj, Py_TPFLAGS_UNICODE_SUBCLASS)) {
    cannot_convert(obj, "PyString");
    return std::nullopt;
  }
  Ref utf8(PyUnicode_AsUTF8String(obj));
  if (!utf8) return std::nullopt;
  return std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}

// Runs a conversion and names the argument in its TypeError.
template <class Convert>
auto convert(PyObject* obj, const char* param, Convert convert_fn) {
  auto value = convert_fn(obj);
  if (!value) name_the_argument(param);
  return value;
}

// ---------------------------------------------------------------------------------------------
// Results

// The core writes a rebuilt font straight into the bytes object that the call returns: no
// finished buffer is copied at the boundary. Allocation failure surfaces as std::bad_alloc,
// which the entry wrapper turns back into the pending MemoryError.
void release_bytes(void* owner) noexcept { Py_DECREF(static_cast<PyObject*>(owner)); }

class BytesAllocator final : public quillmark::Allocator {
 public:
  Buffer allocate(std::size_t size) const override {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) throw std::bad_alloc();
    return Buffer(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes)), size, bytes, release_bytes);
  }
};

PyObject* bytes_result(Buffer buffer) {
  if (buffer.released_by(release_bytes)) return static_cast<PyObject*>(std::move(buffer).take_owner());
  const ByteView bytes = buffer.view();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* bytes_result(Result<Buffer> result) {
  if (!result) return map_err(std::move(result).error());
  return bytes_result(std::move(*result));
}

PyObject* ranges_result(const std::vector<quillmark::Exclusion>& ranges) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    Ref pair(PyTuple_New(2));
    if (!pair) return nullptr;
    for (Py_ssize_t k = 0; k < 2; ++k) {
      PyObject* number = PyLong_FromUnsignedLongLong(k == 0 ? ranges[i].start : ranges[i].length);
      if (number == nullptr) return nullptr;
      PyTuple_SetItem(pair.get(), k, number);  // steals
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());  // steals
  }
  return list.release();
}

// ---------------------------------------------------------------------------------------------
// The nine functions

PyObject* embed_manifest_store(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"embed_manifest_store", 2, 2, {"font", "manifest_store"}};
  PyObject* slots[kMaxParams];
  if (!bind(sig, args, kwargs, slots)) return nullptr;
  const auto font = convert(slots[0], "font", to_font);
  if (!font) return nullptr;
  auto store = convert(slots[1], "manifest_store", to_store);
  if (!store) return nullptr;
  const BytesAllocator allocator;
  return bytes_result(quillmark::embed_manifest(*font, {std::nullopt, std::move(*store)}, allocator));
}

PyObject* embed_remote(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"embed_remote", 2, 2, {"font", "uri"}};
  PyObject* slots[kMaxParams];
  if (!bind(sig, args, kwargs, slots)) return nullptr;
  const auto font = convert(slots[0], "font", to_font);
  if (!font) return nullptr;
  auto uri = convert(slots[1], "uri", to_uri);
  if (!uri) return nullptr;
  const BytesAllocator allocator;
  return bytes_result(quillmark::embed_manifest(*font, {std::move(*uri), std::nullopt}, allocator));
}

// The font of the functions that take nothing else.
std::optional<ByteView> font_only(const char* name, PyObject* args, PyObject* kwargs) {
  const Signature sig{name, 1, 1, {"font"}};
  PyObject* slots[kMaxParams];
  if (!bind(sig, args, kwargs, slots)) return std::nullopt;
  return convert(slots[0], "font", to_font);
}

PyObject* read_manifest_store(PyObject* args, PyObject* kwargs) {
  const auto font = font_only("read_manifest_store", args, kwargs);
  if (!font) return nullptr;
  const BytesAllocator allocator;
  return bytes_result(quillmark::read_manifest(*font, allocator));
}

PyObject* read_manifest_uri_str(PyObject* args, PyObject* kwargs) {
  const auto font = font_only("read_manifest_uri_str", args, kwargs);
  if (!font) return nullptr;
  // The URI goes from the font's bytes straight into the str; the store is not copied at all.
  Result<quillmark::C2paTableView> table = quillmark::read_c2pa_table_view(*font);
  if (!table) return map_err(std::move(table).error());
  if (!table->active_manifest_uri) Py_RETURN_NONE;
  const ByteView uri = *table->active_manifest_uri;
  return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(uri.data()), static_cast<Py_ssize_t>(uri.size()));
}

PyObject* remove_manifest_table(PyObject* args, PyObject* kwargs) {
  const auto font = font_only("remove_manifest_table", args, kwargs);
  if (!font) return nullptr;
  const BytesAllocator allocator;
  return bytes_result(quillmark::remove_manifest(*font, allocator));
}

PyObject* is_compliant(PyObject* args, PyObject* kwargs) {
  const auto font = font_only("is_compliant", args, kwargs);
  if (!font) return nullptr;
  Result<quillmark::ComplianceReport> report = quillmark::verify(*font);
  if (!report) return map_err(std::move(report).error());
  return PyBool_FromLong(report->compliant());
}

PyObject* reserve_manifest_placeholder(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"reserve_manifest_placeholder", 3, 2, {"font", "reserve_size", "uri"}};
  PyObject* slots[kMaxParams];
  if (!bind(sig, args, kwargs, slots)) return nullptr;
  const auto font = convert(slots[0], "font", to_font);
  if (!font) return nullptr;
  const auto size = convert(slots[1], "reserve_size", to_size);
  if (!size) return nullptr;
  std::optional<std::string> uri;
  if (slots[2] != nullptr && slots[2] != Py_None) {
    uri = convert(slots[2], "uri", to_uri);
    if (!uri) return nullptr;
  }
  const BytesAllocator allocator;
  Result<quillmark::ReservedFont> reserved = quillmark::reserve_manifest(*font, *size, std::move(uri), allocator);
  if (!reserved) return map_err(std::move(reserved).error());
  return bytes_result(std::move(reserved->font_bytes));
}

PyObject* data_hash_ranges(PyObject* args, PyObject* kwargs) {
  const auto font = font_only("data_hash_ranges", args, kwargs);
  if (!font) return nullptr;
  Result<std::vector<quillmark::Exclusion>> ranges = quillmark::data_hash_exclusions(*font);
  if (!ranges) return map_err(std::move(ranges).error());
  return ranges_result(*ranges);
}

PyObject* fill_manifest_store(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"fill_manifest_store", 2, 2, {"reserved_font", "signed_manifest"}};
  PyObject* slots[kMaxParams];
  if (!bind(sig, args, kwargs, slots)) return nullptr;
  const auto font = convert(slots[0], "reserved_font", to_font);
  if (!font) return nullptr;
  const auto manifest = convert(slots[1], "signed_manifest", to_font);
  if (!manifest) return nullptr;
  const BytesAllocator allocator;
  return bytes_result(quillmark::fill_manifest(*font, *manifest, allocator));
}

// Nothing from C++ unwinds into the interpreter: a body's exception becomes a Python one here.
template <PyObject* (*Body)(PyObject*, PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  try {
    PyObject* result = Body(args, kwargs);
    // A NULL result without an exception would make the interpreter raise SystemError.
    if (result == nullptr && !PyErr_Occurred()) return raise_panic("quillmark: a function failed without an error");
    return result;
  } catch (const std::bad_alloc&) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("quillmark: unexpected internal failure");
  }
}

#define QUILLMARK_METHOD(name, doc) \
  { #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<name>)), METH_VARARGS | METH_KEYWORDS, doc }

// Static: the function objects point at these for the life of the process.
PyMethodDef kMethods[] = {
    QUILLMARK_METHOD(embed_manifest_store,
                     "embed_manifest_store(font, manifest_store)\n--\n\n"
                     "Embed a signed Manifest Store into a font's `C2PA` table."),
    QUILLMARK_METHOD(embed_remote,
                     "embed_remote(font, uri)\n--\n\n"
                     "Embed a remote manifest URI into a font's `C2PA` table."),
    QUILLMARK_METHOD(read_manifest_store,
                     "read_manifest_store(font)\n--\n\n"
                     "Read the embedded Manifest Store from a font."),
    QUILLMARK_METHOD(read_manifest_uri_str,
                     "read_manifest_uri_str(font)\n--\n\n"
                     "Read the active manifest URI from a font, if present."),
    QUILLMARK_METHOD(remove_manifest_table,
                     "remove_manifest_table(font)\n--\n\n"
                     "Remove the `C2PA` table from a font."),
    QUILLMARK_METHOD(is_compliant,
                     "is_compliant(font)\n--\n\n"
                     "Whether the font has a well-formed `C2PA` table with intact checksums."),
    QUILLMARK_METHOD(reserve_manifest_placeholder,
                     "reserve_manifest_placeholder(font, reserve_size, uri=None)\n--\n\n"
                     "Reserve `reserve_size` bytes for a manifest, returning the font with a\n"
                     "zero-filled placeholder."),
    QUILLMARK_METHOD(data_hash_ranges,
                     "data_hash_ranges(font)\n--\n\n"
                     "The `c2pa.hash.data` exclusion ranges for a reserved font, as\n"
                     "`[(start, length), ...]`."),
    QUILLMARK_METHOD(fill_manifest_store,
                     "fill_manifest_store(reserved_font, signed_manifest)\n--\n\n"
                     "Fill a reserved font's Manifest Store with signed bytes (<= reserved size)."),
};

#undef QUILLMARK_METHOD

// ---------------------------------------------------------------------------------------------
// Initialisation

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quillmark",
    "",  // __doc__ is the empty string, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module; -1 until then. The module keeps one module
// object in a static, which only one interpreter may see.
std::atomic<std::int64_t> g_interpreter{-1};
// The module object, one strong reference held for the life of the process.
PyObject* g_module = nullptr;

// Adds one function to the module and to its __all__.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quillmark does not support sub-interpreters: it can be imported into only one interpreter per "
                    "process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module(PyModule_Create2(&kModule, 3));
  if (!module) return nullptr;
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& def : kMethods) {
    if (!add_function(module.get(), module_name.get(), &def)) return nullptr;
  }
  g_module = module.get();
  Py_INCREF(g_module);
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_quillmark(void) {
  try {
    return init_module();
  } catch (const std::bad_alloc&) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "quillmark failed to initialise");
    return nullptr;
  }
}
