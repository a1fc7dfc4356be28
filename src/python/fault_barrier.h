// What happens when native code fails an internal check while Python called
// it: no C++ exception unwinds into the interpreter. Exhausted memory becomes
// MemoryError; any other fault is reported on stderr and raised as
// pyo3_runtime.PanicException, a BaseException, so that ordinary
// `except Exception` handlers do not swallow it; a fault while a fault is
// being handled aborts the process.
#pragma once

#ifndef Py_PYTHON_H
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>

#include "python/py_ref.h"

namespace vrex::python {

inline constexpr const char* kPanicDoc =
    "The exception raised when the native code of the module fails an internal check while "
    "called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it "
    "typically propagates all the way through the stack and makes the interpreter exit.";
inline constexpr const char* kTrapText = "uncaught panic at ffi boundary";
inline constexpr const char* kFaultWithoutText = "the native code of the module failed";

#ifdef VREX_FAULT_INJECTION
// Test builds only: VREX_INJECT_FAULT=1 faults inside a call, =2 faults again
// while that fault is being handled.
inline bool fault_injection_asked(const char* level) {
  const char* asked = std::getenv("VREX_INJECT_FAULT");
  return asked != nullptr && std::strcmp(asked, level) >= 0;
}

inline void inject_fault_if_asked() {
  if (fault_injection_asked("1")) throw std::logic_error("injected fault: index out of range");
}
#else
inline void inject_fault_if_asked() {}
#endif

// The module's exception type for internal faults, made on first use.
inline PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
}

inline std::nullptr_t raise_panic(std::string_view text) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // its creation failed: that error stays pending
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

inline std::nullptr_t handle_fault(const char* text) noexcept {
  try {
#ifdef VREX_FAULT_INJECTION
    if (fault_injection_asked("2")) throw std::logic_error("injected fault while handling a fault");
#endif
    std::fprintf(stderr, "vrex: internal fault in native code: %s\n", text);
    return raise_panic(text);
  } catch (...) {
    std::fprintf(stderr, "%s\n", kTrapText);
    std::abort();
  }
}

// Runs `body`, a call from Python, and turns any C++ exception into a
// Python one.
template <class Body>
PyObject* behind_fault_barrier(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Clear();
    const char* text = nullptr;
    try {
      text = fault.what();
    } catch (...) {
      std::fprintf(stderr, "%s\n", kTrapText);
      std::abort();
    }
    return handle_fault(text != nullptr ? text : kFaultWithoutText);
  } catch (...) {
    PyErr_Clear();
    return handle_fault(kFaultWithoutText);
  }
}

}  // namespace vrex::python
