// Small helpers shared by the extension module's sources: owned references,
// GIL scopes, exception raising, str conversion, argument parsing with the
// module's TypeError texts, and deferred release of references dropped on
// threads that do not hold the GIL.
//
// Unless a comment says otherwise, every function here must be called with
// the GIL held. Functions that return PyObject* return a new reference, or
// nullptr with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quor {
class EngineError;
}

namespace quor::py {

// Marks a parameter or result as a borrowed reference: the callee neither
// steals nor returns ownership.
using Borrowed = PyObject*;

void defer_decref(PyObject* obj);

// An owned (strong) reference. Destroyed on a thread that does not hold the
// GIL (for example while a thread is torn down at interpreter exit), it
// defers the decrement instead of touching the object.
class PyRef {
 public:
  PyRef() = default;
  PyRef(std::nullptr_t) {}
  ~PyRef() {
    if (p_ == nullptr) return;
    if (PyGILState_Check()) {
      Py_DECREF(p_);
    } else {
      defer_decref(p_);
    }
  }

  // Takes over a new reference (may be nullptr).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  // Takes a new reference to a borrowed object (may be nullptr).
  static PyRef borrow(Borrowed p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // A new reference for the caller (e.g. to return from a C function).
  PyObject* new_ref() const {
    Py_XINCREF(p_);
    return p_;
  }
  // Gives up ownership without decrementing.
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset() { PyRef().swap(*this); }
  void swap(PyRef& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Releases the GIL for its scope (Py_BEGIN/END_ALLOW_THREADS). The thread
// must hold the GIL when it is constructed. restore() takes it back early.
// The destructor may exit: at interpreter exit CPython ends a non-main
// thread that asks for the GIL back, by unwinding its stack, which must
// not pass through a noexcept frame.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { restore(); }
  void restore() {
    if (state_ != nullptr) {
      PyEval_RestoreThread(state_);
      state_ = nullptr;
    }
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the GIL for its scope from any thread (PyGILState_Ensure). Never use
// it once the interpreter is finalizing; see interpreter_alive().
class GilEnsure {
 public:
  GilEnsure() : state_(PyGILState_Ensure()) {}
  ~GilEnsure() { PyGILState_Release(state_); }
  GilEnsure(const GilEnsure&) = delete;
  GilEnsure& operator=(const GilEnsure&) = delete;

 private:
  PyGILState_STATE state_;
};

// Locks `mu` (anything with try_lock/lock) without ever blocking on it
// while holding the GIL: try first, and on contention release the GIL,
// block, and take the GIL back. The caller holds the GIL.
template <typename Mutex>
void lock_releasing_gil(Mutex& mu) {
  if (mu.try_lock()) return;
  GilRelease nogil;
  mu.lock();
}

// Raise helpers. Each sets the exception and returns nullptr, so they can
// end a C function: `return raise_value_error("...");`.
std::nullptr_t raise_type_error(const std::string& text);
std::nullptr_t raise_value_error(const std::string& text);
std::nullptr_t raise_runtime_error(const std::string& text);
std::nullptr_t raise_overflow_error(const std::string& text);

// The text an engine error shows in Python: its message, and for
// DataDirLocked the hint "; another writer may be active; socket: {}" with
// quor.sock beside the lock file.
std::string engine_error_text(const EngineError& err);
// Raises the engine error: ValueError for InvalidCron and InvalidTimezone,
// RuntimeError for every other kind.
std::nullptr_t raise_engine_error(const EngineError& err);

// type(obj).__name__ as UTF-8 ("int", "NoneType", ...). Never fails; falls
// back to tp_name.
std::string type_name(Borrowed obj);

// UTF-8 of a str object; lone surrogates become '?'. Never fails.
std::string lossy_utf8(Borrowed str);

// Result of converting an object to a std::string.
enum class StrConv {
  kOk,
  kWrongType,  // not a str; no exception set
  kError,      // a Python exception is set (e.g. UnicodeEncodeError)
};
StrConv to_utf8(Borrowed obj, std::string* out);
// The conversion's own text for a non-str value:
// "'{}' object cannot be converted to 'str'".
std::string not_a_str_text(Borrowed obj);
// Converts a keyword value that must be a str; raises TypeError with the
// conversion text alone when it is not.
bool str_value(Borrowed obj, std::string* out);
// Converts parameter `param` that must be a str; raises TypeError
// "argument '{param}': '{type}' object cannot be converted to 'str'".
bool str_arg(Borrowed obj, const char* param, std::string* out);
// Converts parameter `param` that must be a real number (int or float);
// a TypeError of the conversion gets the "argument '{param}': " prefix.
bool double_arg(Borrowed obj, const char* param, double* out);

// Turns the currently raised exception into a run failure text and clears
// it: "{type.__qualname__}: {str(exc)}", or "{qualname}: <exception str()
// failed>" when str() itself raises. Every exception type counts.
std::string take_exception_text();
// The same for a given exception object.
std::string exception_text(Borrowed exc);

// Argument parsing for module functions and methods, with the interpreter's
// texts:
//   "{fn} missing 1 required positional argument: 'name'"
//   "{fn} got an unexpected keyword argument '{}'"
//   "{fn} got multiple values for argument '{}'"
//   "{fn} takes 1 positional arguments but 2 were given"
//   "{fn} takes from 0 to 1 positional arguments but 2 were given"
// where {fn} is the function's name followed by "()".
struct Param {
  const char* name;
  bool required = false;
  bool keyword_only = false;
};

class ArgSpec {
 public:
  // `fn` is the display name with "()", e.g. "status()". Positional
  // parameters come before keyword-only ones. With `var_kwargs`, unknown
  // keywords are collected instead of refused.
  ArgSpec(const char* fn, std::initializer_list<Param> params, bool var_kwargs = false);

  const char* fn() const { return fn_; }
  size_t size() const { return params_.size(); }

  // Fills out[0..size()) with borrowed references (nullptr when absent).
  // With var_kwargs, *extra receives a new dict of the remaining keywords,
  // or stays empty when there are none. Returns false with TypeError set.
  bool parse_fastcall(PyObject* const* args, Py_ssize_t nargs, Borrowed kwnames,
                      Borrowed* out, PyRef* extra = nullptr) const;
  bool parse_tuple(Borrowed args, Borrowed kwargs, Borrowed* out,
                   PyRef* extra = nullptr) const;

 private:
  bool check_positional(Py_ssize_t nargs) const;
  // Places one keyword; false with TypeError set on a refusal.
  bool place_keyword(Borrowed key, Borrowed value, Py_ssize_t nargs, Borrowed* out,
                     PyRef* extra) const;
  bool check_missing(Borrowed* out) const;

  const char* fn_;
  std::vector<Param> params_;
  size_t positional_ = 0;  // parameters that may be given by position
  size_t required_positional_ = 0;
  bool var_kwargs_;
};

// Adds `value` (stolen, may be nullptr after a failed call) to the module
// under `name` and appends the name to the module's __all__ list, creating
// the list on first use. Returns 0, or -1 with an exception set.
int module_add(Borrowed module, const char* name, PyObject* value);

// References dropped by threads that may not hold the GIL. defer_decref
// may be called from any thread, with or without the GIL; the reference is
// decremented by the next drain_deferred(), which the module calls whenever
// it holds the GIL and no lock of its own. Once the interpreter is
// finalizing the references are left alone.
void defer_decref(PyObject* obj);
void drain_deferred();

// False once the interpreter has begun (or finished) finalizing, or once
// the module's exit hook has run. Threads that are not Python threads must
// not take the GIL then. Callable without the GIL.
bool interpreter_alive();
// Called by the module's exit hook; after it interpreter_alive() is false.
void mark_finalizing();

}  // namespace quor::py
