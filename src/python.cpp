// The CPython module `quillmark`: the module object, its functions, the binding and conversion
// of their arguments and results, and the one place where an Error becomes a Python exception.
// Everything else is in the C++ core, which knows nothing of Python.
//
// Built against the stable ABI of CPython 3.9 (Py_LIMITED_API 0x03090000, set by the build).
//
// Single-phase initialisation, because the module promises one module object per interpreter's
// life: a second import returns the same object, even after it was deleted from sys.modules, and
// only the main interpreter may import it. Multi-phase initialisation makes a new module object
// per import and per interpreter, which is the opposite promise. The functions keep no state of
// their own, so nothing else hangs on the choice. An embedder may finalise the interpreter and
// initialise a new one: the statics are forgotten at the end of each finalisation, so that the
// new interpreter gets a module of its own (see forget_interpreter).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION is defined by the build, from engine/quillmark_c2pa/__init__.py"
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "exclusions.h"
#include "reading.h"
#include "sfnt.h"
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
//
// References are counted through the functions Py_IncRef and Py_DecRef, never the macros: the
// macros of the headers this module is built against (those of the oldest Python it supports)
// write the count in place, and on Python 3.12 and later that would count references to the
// immortal objects (None, True, small ints) up and down, each call shifting them a little.
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
  ~Ref() { Py_DecRef(p_); }

  // A new strong reference to a borrowed one.
  static Ref hold(PyObject* borrowed) noexcept {
    Py_IncRef(borrowed);
    return Ref(borrowed);
  }

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
PyObject* g_panic_type = nullptr;  // forgotten with the interpreter that made it

PyObject* panic_exception_type() {
  PyObject*& type = g_panic_type;
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

// The __qualname__ of an object's type, for conversion messages.
std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
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
// Argument binding: the module's own, with its own messages, the same for every function.

constexpr std::size_t kMaxParams = 3;

struct Signature {
  const char* name;      // without "()"
  std::size_t count;     // parameters, every one positional-or-keyword
  std::size_t required;  // the first `required` of them
  std::array<const char*, kMaxParams> params;
};

// The bound arguments, one strong reference each (empty for a parameter not given). Converting
// a later argument can run Python code (__index__, __iter__) that drops every other reference
// to an earlier one, a keyword argument's included; the views taken of the arguments stay valid
// because these references hold them until the call returns.
using Bound = std::array<Ref, kMaxParams>;

// Fills `bound` or raises TypeError.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& bound) {
  const std::size_t n = sig.count;
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
  for (Py_ssize_t i = 0; i < given; ++i) bound[static_cast<std::size_t>(i)] = Ref::hold(PyTuple_GetItem(args, i));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t match = n;
      if (PyUnicode_Check(key)) {
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
      if (bound[match]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[match]);
        return false;
      }
      bound[match] = Ref::hold(value);
    }
  }

  if (static_cast<std::size_t>(given) < sig.required) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
      if (!bound[i]) missing.push_back(sig.params[i]);
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
// Argument conversion. Each sets an exception and returns nothing on failure; convert() names
// the argument.

ByteView view_of_bytes(PyObject* bytes) {
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(bytes)), static_cast<std::size_t>(PyBytes_Size(bytes))};
}

// A bytes object (or subclass), read in place: bytes are immutable and the bound reference
// keeps the object alive, so nothing is copied. The font parameters and `signed_manifest`.
std::optional<ByteView> to_bytes_view(PyObject* obj) {
  if (!PyBytes_Check(obj)) {
    cannot_convert(obj, "PyBytes");
    return std::nullopt;
  }
  return view_of_bytes(obj);
}

// The first buffer reservation for a sequence of unknown honesty: __len__ is only a hint, and a
// lying one must not make the conversion allocate gigabytes up front. Past this the buffer
// grows as items actually arrive.
constexpr Py_ssize_t kMaxLengthHint = Py_ssize_t{1} << 20;

// A Manifest Store argument: an exact bytes object read in place (held by its bound reference),
// or anything else copied into a buffer of its own. A bytearray is copied: it could change
// size while the GIL is released.
struct StoreArgument {
  Buffer copy;
  ByteView bytes;
};

// bytes, bytearray, or any sequence of integers 0..255.
std::optional<StoreArgument> to_store(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  // The exact built-in byte types iterate to their own bytes: take those directly.
  if (PyBytes_CheckExact(obj)) return StoreArgument{Buffer(), view_of_bytes(obj)};
  StoreArgument store;
  if (PyByteArray_CheckExact(obj)) {
    const char* data = PyByteArray_AsString(obj);
    const std::size_t size = static_cast<std::size_t>(PyByteArray_Size(obj));
    store.copy = Buffer::copy_of(ByteView(reinterpret_cast<const std::uint8_t*>(data), size));
    store.bytes = store.copy.view();
    return store;
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
    // long long, not long: long has 32 bits on Windows, and an item past them must meet the
    // range message below, as it does elsewhere.
    long long value;
    if (PyLong_Check(item.get())) {
      value = PyLong_AsLongLong(item.get());
    } else {
      Ref index(PyNumber_Index(item.get()));
      if (!index) return std::nullopt;
      value = PyLong_AsLongLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  if (PyErr_Occurred()) return std::nullopt;
  store.copy = Buffer::copy_of(bytes);
  store.bytes = store.copy.view();
  return store;
}

// An unsigned 64-bit integer; 2**64 - 1 itself is a valid value, not a failure.
std::optional<std::uint64_t> to_size(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

// A str (a URI, a hash algorithm), encoded as strict UTF-8 (a lone surrogate raises
// UnicodeEncodeError).
std::optional<std::string> to_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    cannot_convert(obj, "PyString");
    return std::nullopt;
  }
  Ref utf8(PyUnicode_AsUTF8String(obj));
  if (!utf8) return std::nullopt;
  const ByteView bytes = view_of_bytes(utf8.get());
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Runs a conversion and names the argument in its TypeError.
template <class Convert>
auto convert(const Ref& obj, const char* param, Convert convert_fn) {
  auto value = convert_fn(obj.get());
  if (!value) name_the_argument(param);
  return value;
}

// ---------------------------------------------------------------------------------------------
// Calls in steps, and threads that the interpreter ends
//
// From CPython 3.9 to 3.13, a thread that takes the GIL back while the interpreter is being
// finalised is ended where it stands by pthread_exit (3.14 leaves it waiting forever instead).
// With glibc, pthread_exit unwinds the thread's stack as an exception that nothing may stop
// ("forced unwinding"), and each C++ frame on the way up with something to clean up has its
// runtime's personality routine called. That went wrong in two ways when the GIL came back
// inside the module's frames: a noexcept frame calls std::terminate, and the whole process
// aborted as it exited (two daemon threads calling is_compliant on a 33 MiB font, then
// sys.exit: SIGABRT in 5 of 20 runs on 3.11, 7 of 12 on 3.13); and in the release wheel, whose
// LLVM unwinder and C++ runtime are linked in statically, the personality routine is handed the
// system unwinder's context and the process died of SIGSEGV (10 of 10 runs on 3.11).
// Destructors on the way would also have released references without the GIL.
//
// So no C++ frame of the module is on the stack when the GIL is taken back. A function's body
// does its Python work and returns a Call, which holds everything the call needs on the heap;
// the entry that the interpreter calls then runs the core's work, without the GIL when it is
// large, takes the GIL back, hands hashlib what box_hashes hashes (hashlib lets go of the GIL
// for 2 KiB or more), and finishes the call. The entry and run_updates own nothing and catch
// nothing, so the compilers give them no cleanup for an unwinder to run: a thread ended there
// unwinds through them into the interpreter's own frames and ends as CPython means it to, its
// Call left behind. The steps they call are functions of their own (never inlined into them),
// which catch every C++ exception themselves.

#if defined(_MSC_VER)
#define QUILLMARK_NOINLINE __declspec(noinline)
#else
#define QUILLMARK_NOINLINE [[gnu::noinline]]
#endif

// From this many bytes on, the copying and summing that a call does pays for letting other
// threads run meanwhile; below it, releasing and taking back the GIL costs more than it gives.
constexpr std::size_t kReleaseGilFrom = 64 * 1024;

// A call's state between its steps.
class Call {
 public:
  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  virtual ~Call() = default;

  // The arguments, held to the end of the call: the views the work reads are views of them.
  Bound bound;
  // Whether work() runs without the GIL. It may touch only memory that no Python code can change
  // or free meanwhile: the arguments' views (bytes being immutable), buffers of the call's own,
  // and a result that nobody else can see yet.
  bool release_gil = false;
  // (hash object, buffer) pairs to hand to hashlib's update, in order, once work() is done.
  std::vector<std::pair<PyObject*, PyObject*>> updates;

  // The core's work; whatever it throws is kept for finish() to raise.
  void run() noexcept {
    try {
      work();
    } catch (...) {
      failure_ = std::current_exception();
    }
  }
  // With the GIL: the result, or NULL with an exception set.
  PyObject* result() {
    if (failure_) std::rethrow_exception(failure_);
    return finish();
  }

 private:
  virtual void work() {}
  virtual PyObject* finish() = 0;

  std::exception_ptr failure_;
};

// What a function's body returns: its result (or NULL with an exception set) when it is done,
// or the Call that the entry takes on from there.
struct Started {
  PyObject* result = nullptr;
  std::unique_ptr<Call> call;
};

// Nothing from C++ unwinds into the interpreter: a step's exception becomes a Python one here.
PyObject* raise_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  }
}

// The core throws only standard exceptions; anything else is a forced unwind (the thread's end,
// above) begun in Python code that a conversion ran, an __index__ or an iterator. The GIL is not
// held, no Python object may be touched, and glibc aborts the process if the unwinding is
// stopped and let go: the thread waits forever, as 3.14 makes such threads do.
[[noreturn]] void wait_forever() noexcept {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

QUILLMARK_NOINLINE Call* start_call(Started (*body)(PyObject*, PyObject*), PyObject* args, PyObject* kwargs,
                                    PyObject** result) noexcept {
  try {
    Started started = body(args, kwargs);
    *result = started.result;
    return started.call.release();
  } catch (const std::exception&) {
    *result = raise_cpp_exception();
    return nullptr;
  } catch (...) {
    wait_forever();
  }
}

QUILLMARK_NOINLINE void run_call(Call* call) noexcept { call->run(); }

QUILLMARK_NOINLINE bool releases_gil(const Call* call) noexcept { return call->release_gil; }

QUILLMARK_NOINLINE PyObject* finish_call(Call* call) noexcept {
  PyObject* result = nullptr;
  try {
    result = call->result();
  } catch (const std::exception&) {
    result = raise_cpp_exception();
  } catch (...) {
    wait_forever();
  }
  delete call;  // what the Call holds is released with the GIL held
  // A NULL result without an exception would make the interpreter raise SystemError.
  if (result == nullptr && !PyErr_Occurred()) return raise_panic("quillmark: a function failed without an error");
  return result;
}

QUILLMARK_NOINLINE void discard_call(Call* call) noexcept { delete call; }

QUILLMARK_NOINLINE std::size_t update_count(const Call* call) noexcept { return call->updates.size(); }

QUILLMARK_NOINLINE std::pair<PyObject*, PyObject*> update_at(const Call* call, std::size_t i) noexcept {
  return call->updates[i];
}

// hashlib's update for each pair, in the entry's manner: nothing owned, nothing caught. False,
// with the exception set, at the first that fails.
QUILLMARK_NOINLINE bool run_updates(const Call* call) {
  const std::size_t n = update_count(call);
  for (std::size_t i = 0; i < n; ++i) {
    const std::pair<PyObject*, PyObject*> update = update_at(call, i);
    PyObject* done = PyObject_CallMethod(update.first, "update", "O", update.second);
    if (done == nullptr) return false;
    Py_DecRef(done);
  }
  return true;
}

// Imports hashlib, in the entry's manner. The first import runs Python code, which can let go of
// the GIL and be ended there like any thread; box_hashes then finds it in sys.modules.
QUILLMARK_NOINLINE bool import_hashlib() {
  PyObject* hashlib = PyImport_ImportModule("hashlib");
  if (hashlib == nullptr) return false;
  Py_DecRef(hashlib);
  return true;
}

// The function the interpreter calls. Not noexcept, and nothing in it to clean up: see above.
template <Started (*Body)(PyObject*, PyObject*), bool kHashlib = false>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  if (kHashlib && !import_hashlib()) return nullptr;
  PyObject* result = nullptr;
  Call* const call = start_call(Body, args, kwargs, &result);
  if (call == nullptr) return result;
  if (releases_gil(call)) {
    PyThreadState* const state = PyEval_SaveThread();
    run_call(call);
    PyEval_RestoreThread(state);  // may end this thread
  } else {
    run_call(call);
  }
  if (!run_updates(call)) {
    discard_call(call);  // hashlib's exception stands
    return nullptr;
  }
  return finish_call(call);
}

// A body that is done at once.
Started done(PyObject* result) { return Started{result, nullptr}; }

// ---------------------------------------------------------------------------------------------
// Results

// A new bytes object of `size` bytes, not yet filled, and where to fill it.
std::optional<std::span<std::uint8_t>> new_bytes(std::uint64_t size, Ref& bytes) {
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  bytes = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return std::nullopt;
  return std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get())),
                                 static_cast<std::size_t>(size));
}

// A rebuilt font, written straight into the bytes object the call returns: the object is made
// with the GIL held, filled without it when large. The plan borrows from the arguments and from
// the storage here, which a WriteFont holds to the end of the call.
class WriteFont final : public Call {
 public:
  std::optional<StoreArgument> store;  // a manifest store converted into a buffer of its own
  std::string text;                    // a URI, as UTF-8

  // Takes `plan` on, or raises its error.
  Started start(std::unique_ptr<WriteFont> self, Result<quillmark::FontWrite> plan) {
    if (!plan) return done(map_err(std::move(plan).error()));
    const std::optional<std::span<std::uint8_t>> out = new_bytes(plan->size(), bytes_);
    if (!out) return done(nullptr);
    out_ = *out;
    plan_.emplace(std::move(*plan));
    release_gil = out_.size() >= kReleaseGilFrom;
    return Started{nullptr, std::move(self)};
  }

 private:
  void work() override {
    Result<void> written = plan_->write(out_);
    if (!written) error_ = std::move(written).error();
  }
  PyObject* finish() override {
    if (error_) return map_err(std::move(*error_));
    return bytes_.release();
  }

  std::optional<quillmark::FontWrite> plan_;
  Ref bytes_;
  std::span<std::uint8_t> out_;
  std::optional<Error> error_;
};

// A copy of a piece of an argument (a Manifest Store) as a new bytes object.
class CopyBytes final : public Call {
 public:
  Started start(std::unique_ptr<CopyBytes> self, ByteView source) {
    const std::optional<std::span<std::uint8_t>> out = new_bytes(source.size(), bytes_);
    if (!out) return done(nullptr);
    source_ = source;
    out_ = *out;
    release_gil = source.size() >= kReleaseGilFrom;
    return Started{nullptr, std::move(self)};
  }

 private:
  void work() override {
    if (!source_.empty()) std::memcpy(out_.data(), source_.data(), source_.size());
  }
  PyObject* finish() override { return bytes_.release(); }

  ByteView source_;
  Ref bytes_;
  std::span<std::uint8_t> out_;
};

// Work of the core on a font that gives back a value (or an Error), turned into a Python object
// once the GIL is back.
template <class T>
class ReadFont final : public Call {
 public:
  using Work = Result<T> (*)(ByteView);
  using Convert = PyObject* (*)(const T&);

  ReadFont(ByteView font, Work work_fn, Convert convert) : font_(font), work_fn_(work_fn), convert_(convert) {
    release_gil = font.size() >= kReleaseGilFrom;
  }

 private:
  void work() override { value_.emplace(work_fn_(font_)); }
  PyObject* finish() override {
    if (!*value_) return map_err(std::move(*value_).error());
    return convert_(**value_);
  }

  ByteView font_;
  Work work_fn_;
  Convert convert_;
  std::optional<Result<T>> value_;
};

PyObject* ranges_result(const std::vector<quillmark::Exclusion>& ranges) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    Ref pair(Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].start),
                           static_cast<unsigned long long>(ranges[i].length)));
    if (!pair) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());  // steals
  }
  return list.release();
}

// ---------------------------------------------------------------------------------------------
// The functions

// The font of the functions that take nothing else; `bound` holds it for the call.
std::optional<ByteView> font_only(const char* name, PyObject* args, PyObject* kwargs, Bound& bound) {
  const Signature sig{name, 1, 1, {"font"}};
  if (!bind(sig, args, kwargs, bound)) return std::nullopt;
  return convert(bound[0], "font", to_bytes_view);
}

Started embed_manifest_store(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"embed_manifest_store", 2, 2, {"font", "manifest_store"}};
  auto call = std::make_unique<WriteFont>();
  if (!bind(sig, args, kwargs, call->bound)) return done(nullptr);
  const auto font = convert(call->bound[0], "font", to_bytes_view);
  if (!font) return done(nullptr);
  call->store = convert(call->bound[1], "manifest_store", to_store);
  if (!call->store) return done(nullptr);
  WriteFont& c = *call;
  return c.start(std::move(call), quillmark::plan_embedding(*font, {std::nullopt, c.store->bytes}));
}

Started embed_remote(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"embed_remote", 2, 2, {"font", "uri"}};
  auto call = std::make_unique<WriteFont>();
  if (!bind(sig, args, kwargs, call->bound)) return done(nullptr);
  const auto font = convert(call->bound[0], "font", to_bytes_view);
  if (!font) return done(nullptr);
  auto uri = convert(call->bound[1], "uri", to_utf8);
  if (!uri) return done(nullptr);
  call->text = std::move(*uri);
  WriteFont& c = *call;
  return c.start(std::move(call), quillmark::plan_embedding(*font, {quillmark::bytes_of(c.text), std::nullopt}));
}

Started read_manifest_store(PyObject* args, PyObject* kwargs) {
  auto call = std::make_unique<CopyBytes>();
  const auto font = font_only("read_manifest_store", args, kwargs, call->bound);
  if (!font) return done(nullptr);
  Result<ByteView> store = quillmark::read_manifest(*font);
  if (!store) return done(map_err(std::move(store).error()));
  CopyBytes& c = *call;
  return c.start(std::move(call), *store);
}

Started read_manifest_uri_str(PyObject* args, PyObject* kwargs) {
  Bound bound;
  const auto font = font_only("read_manifest_uri_str", args, kwargs, bound);
  if (!font) return done(nullptr);
  // The URI goes from the font's bytes straight into the str; the store is not copied at all.
  Result<quillmark::C2paTable> table = quillmark::read_c2pa_table(*font);
  if (!table) return done(map_err(std::move(table).error()));
  if (!table->active_manifest_uri) return done(Ref::hold(Py_None).release());
  const ByteView uri = *table->active_manifest_uri;
  return done(
      PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(uri.data()), static_cast<Py_ssize_t>(uri.size())));
}

Started remove_manifest_table(PyObject* args, PyObject* kwargs) {
  auto call = std::make_unique<WriteFont>();
  const auto font = font_only("remove_manifest_table", args, kwargs, call->bound);
  if (!font) return done(nullptr);
  WriteFont& c = *call;
  return c.start(std::move(call), quillmark::plan_removal(*font));
}

PyObject* compliance_result(const quillmark::ComplianceReport& report) { return PyBool_FromLong(report.compliant()); }

Started is_compliant(PyObject* args, PyObject* kwargs) {
  Bound bound;
  const auto font = font_only("is_compliant", args, kwargs, bound);
  if (!font) return done(nullptr);
  auto call = std::make_unique<ReadFont<quillmark::ComplianceReport>>(*font, quillmark::verify, compliance_result);
  call->bound = std::move(bound);
  return Started{nullptr, std::move(call)};
}

Started reserve_manifest_placeholder(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"reserve_manifest_placeholder", 3, 2, {"font", "reserve_size", "uri"}};
  auto call = std::make_unique<WriteFont>();
  Bound& bound = call->bound;
  if (!bind(sig, args, kwargs, bound)) return done(nullptr);
  const auto font = convert(bound[0], "font", to_bytes_view);
  if (!font) return done(nullptr);
  const auto size = convert(bound[1], "reserve_size", to_size);
  if (!size) return done(nullptr);
  std::optional<ByteView> uri_bytes;
  if (bound[2] && bound[2].get() != Py_None) {
    auto uri = convert(bound[2], "uri", to_utf8);
    if (!uri) return done(nullptr);
    call->text = std::move(*uri);
    uri_bytes = quillmark::bytes_of(call->text);
  }
  WriteFont& c = *call;
  return c.start(std::move(call), quillmark::plan_reservation(*font, *size, uri_bytes));
}

Started data_hash_ranges(PyObject* args, PyObject* kwargs) {
  Bound bound;
  const auto font = font_only("data_hash_ranges", args, kwargs, bound);
  if (!font) return done(nullptr);
  Result<std::vector<quillmark::Exclusion>> ranges = quillmark::data_hash_exclusions(*font);
  if (!ranges) return done(map_err(std::move(ranges).error()));
  return done(ranges_result(*ranges));
}

Started fill_manifest_store(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"fill_manifest_store", 2, 2, {"reserved_font", "signed_manifest"}};
  auto call = std::make_unique<WriteFont>();
  if (!bind(sig, args, kwargs, call->bound)) return done(nullptr);
  const auto font = convert(call->bound[0], "reserved_font", to_bytes_view);
  if (!font) return done(nullptr);
  const auto manifest = convert(call->bound[1], "signed_manifest", to_bytes_view);
  if (!manifest) return done(nullptr);
  WriteFont& c = *call;
  return c.start(std::move(call), quillmark::plan_filling(*font, *manifest));
}

// The digests that a c2pa.hash.boxes assertion lists for a font (C2PA 2.2, 18.7.3.6), one per
// box of quillmark::plan_boxes. Hashing is hashlib's: each table is handed over as a slice of a
// memoryview of the caller's font, not a copy, and hashlib lets go of the GIL while it hashes
// large ones. Each slice holds the font object, so a hash object that kept one would keep the
// font alive too.

constexpr std::array<const char*, 3> kBoxHashAlgorithms = {"sha256", "sha384", "sha512"};

// A memoryview of the bytes that the font object `font` holds, which are what the writers read
// (PyBytes_AsString). From Python 3.12 on, a subclass of bytes can give the buffer protocol other
// bytes through __buffer__; bytes.__buffer__ is bytes' own, whatever the subclass defines.
// Before 3.12 no class written in Python can change a bytes object's buffer.
PyObject* memoryview_of_bytes(PyObject* font) {
  if (PyBytes_CheckExact(font)) return PyMemoryView_FromObject(font);
  Ref own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBytes_Type), "__buffer__"));
  if (!own) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return PyMemoryView_FromObject(font);
  }
  return PyObject_CallFunction(own.get(), "Oi", font, 0);  // PyBUF_SIMPLE
}

// The part `piece` of `font` as a slice of `font_view`, a memoryview of the font object.
PyObject* slice_of(PyObject* font_view, ByteView font, ByteView piece) {
  if (piece.empty()) return PySequence_GetSlice(font_view, 0, 0);
  const std::less_equal<const std::uint8_t*> at_or_before;  // pointers of unrelated objects too
  if (!at_or_before(font.data(), piece.data()) || !at_or_before(piece.data() + piece.size(), font.data() + font.size())) {
    return raise_panic("a table to hash lies outside the font");
  }
  const auto start = static_cast<Py_ssize_t>(piece.data() - font.data());
  return PySequence_GetSlice(font_view, start, start + static_cast<Py_ssize_t>(piece.size()));
}

// One hash object per box (none for the C2PA box), fed by the entry, then read.
class HashBoxes final : public Call {
 public:
  std::vector<std::string> names;
  std::vector<Ref> hashes;  // empty for the C2PA box
  std::vector<Ref> pieces;  // the buffers in `updates`, held here

 private:
  PyObject* finish() override {
    Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
      Ref digest(hashes[i] ? PyObject_CallMethod(hashes[i].get(), "digest", nullptr)
                           : PyBytes_FromStringAndSize("\0", 1));
      if (!digest) return nullptr;
      Ref pair(Py_BuildValue("(s#O)", names[i].data(), static_cast<Py_ssize_t>(names[i].size()), digest.get()));
      if (!pair) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());  // steals
    }
    return list.release();
  }
};

Started box_hashes(PyObject* args, PyObject* kwargs) {
  static constexpr Signature sig{"box_hashes", 2, 1, {"font", "alg"}};
  auto call = std::make_unique<HashBoxes>();
  Bound& bound = call->bound;
  if (!bind(sig, args, kwargs, bound)) return done(nullptr);
  const auto font = convert(bound[0], "font", to_bytes_view);
  if (!font) return done(nullptr);
  std::string alg = kBoxHashAlgorithms[0];
  if (bound[1]) {
    auto given = convert(bound[1], "alg", to_utf8);
    if (!given) return done(nullptr);
    alg = std::move(*given);
  }
  if (std::find(kBoxHashAlgorithms.begin(), kBoxHashAlgorithms.end(), alg) == kBoxHashAlgorithms.end()) {
    std::string message = "box_hashes() alg must be 'sha256', 'sha384' or 'sha512', not '";
    message += alg;
    message += "'";
    set_error(PyExc_ValueError, message);
    return done(nullptr);
  }
  Result<std::vector<quillmark::Box>> boxes = quillmark::plan_boxes(*font);
  if (!boxes) return done(map_err(std::move(boxes).error()));
  // Imported by the entry; taken from sys.modules here, so that no module's code runs in this frame.
  Ref hashlib_name(PyUnicode_FromString("hashlib"));
  if (!hashlib_name) return done(nullptr);
  Ref hashlib(PyImport_GetModule(hashlib_name.get()));
  if (!hashlib) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "hashlib is not imported");
    return done(nullptr);
  }
  Ref constructor(PyObject_GetAttrString(hashlib.get(), alg.c_str()));
  if (!constructor) return done(nullptr);
  Ref font_view(memoryview_of_bytes(bound[0].get()));
  if (!font_view) return done(nullptr);
  if (PyObject_Length(font_view.get()) != static_cast<Py_ssize_t>(font->size())) {
    return done(raise_panic("the font's memoryview is not the font"));
  }
  // A hash object fed `parts` in order; a part without data (a null view, which no table's bytes
  // are: they lie in the font) stands for checkSumAdjustment's four zero bytes.
  const auto hash = [&](std::initializer_list<ByteView> parts) -> bool {
    Ref h(PyObject_CallObject(constructor.get(), nullptr));
    if (!h) return false;
    for (const ByteView part : parts) {
      Ref piece(part.data() == nullptr ? PyBytes_FromStringAndSize("\0\0\0\0", 4)
                                       : slice_of(font_view.get(), *font, part));
      if (!piece) return false;
      call->updates.emplace_back(h.get(), piece.get());
      call->pieces.push_back(std::move(piece));
    }
    call->hashes.push_back(std::move(h));
    return true;
  };
  call->names.reserve(boxes->size());
  for (const quillmark::Box& box : *boxes) {
    call->names.push_back(box.name);
    if (box.c2pa) {
      call->hashes.emplace_back();
    } else if (box.zero_adjustment) {
      if (!hash({box.data.first(quillmark::kCheckSumAdjustmentOffset), ByteView(),
                 box.data.subspan(quillmark::kHeadMinimumLength)})) {
        return done(nullptr);
      }
    } else if (!hash({box.data})) {
      return done(nullptr);
    }
  }
  return Started{nullptr, std::move(call)};
}

PyObject* checksums_result(const std::vector<std::uint32_t>& sums) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(sums.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < sums.size(); ++i) {
    PyObject* value = PyLong_FromUnsignedLong(sums[i]);
    if (value == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals
  }
  return list.release();
}

Started table_checksums(PyObject* args, PyObject* kwargs) {
  Bound bound;
  const auto font = font_only("table_checksums", args, kwargs, bound);
  if (!font) return done(nullptr);
  auto call = std::make_unique<ReadFont<std::vector<std::uint32_t>>>(*font, quillmark::table_checksums, checksums_result);
  call->bound = std::move(bound);
  return Started{nullptr, std::move(call)};
}

#define QUILLMARK_METHOD_AS(name, function, doc) \
  { #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_VARARGS | METH_KEYWORDS, doc }
#define QUILLMARK_METHOD(name, doc) QUILLMARK_METHOD_AS(name, entry<name>, doc)

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
    QUILLMARK_METHOD_AS(box_hashes, (entry<box_hashes, true>),
                        "box_hashes(font, alg='sha256')\n--\n\n"
                        "The `c2pa.hash.boxes` digests of a font as embedding a manifest lays it out, as\n"
                        "`[(name, digest), ...]` in table directory order."),
    QUILLMARK_METHOD(table_checksums,
                     "table_checksums(font)\n--\n\n"
                     "The SFNT checksum of each table of a font, in table directory order, with\n"
                     "`head`'s `checkSumAdjustment` counted as zero."),
};

#undef QUILLMARK_METHOD
#undef QUILLMARK_METHOD_AS

// ---------------------------------------------------------------------------------------------
// Initialisation

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quillmark",
    .m_doc = "",  // __doc__ is the empty string, not None
    .m_size = 0,
    .m_methods = nullptr,  // the functions are added to the module object, with __all__
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module object, one strong reference held for the life of the interpreter that made it.
PyObject* g_module = nullptr;

// Called by Py_FinalizeEx once the interpreter is gone (Py_AtExit): the module object and the
// exception type belonged to it, and a later Py_Initialize must make its own. Only the pointers
// are dropped; no Python API may be called by then.
void forget_interpreter() {
  g_module = nullptr;
  g_panic_type = nullptr;
}

// Adds one function to the module and its name to `all`.
bool add_function(PyObject* module, PyObject* module_name, PyObject* all, PyMethodDef* def) {
  Ref function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (PyList_Append(all, name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
  // The main interpreter is the one with ID 0, in every version from 3.9 on and again after
  // an embedder initialises a new one. The module object lives in a static, which only one
  // interpreter may see: every other interpreter is refused, whichever imports first.
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if (id != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "quillmark does not support sub-interpreters: it can be imported only into the main interpreter");
    return nullptr;
  }
  if (g_module != nullptr) return Ref::hold(g_module).release();
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  Ref all(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (PyMethodDef& def : kMethods) {
    if (!add_function(module.get(), module_name.get(), all.get(), &def)) return nullptr;
  }
  if (PyModule_AddStringConstant(module.get(), "__version__", QUILLMARK_VERSION) < 0) return nullptr;
  // Kept only when the interpreter's end can be heard of (Py_AtExit takes 32 functions in all):
  // without it, a module kept past Py_FinalizeEx would be handed to the next interpreter with
  // every function cleared to None.
  if (Py_AtExit(forget_interpreter) == 0) g_module = Ref::hold(module.get()).release();
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
