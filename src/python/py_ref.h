// An owned reference to a Python object, released on every path. Shared by
// both extension modules so that reference ownership reads the same in each.
#pragma once

#ifndef Py_PYTHON_H
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

namespace vrex::python {

class PyRef {
 public:
  PyRef() = default;

  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}

  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }

  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }

  // Takes `owned` and lets go of the reference held before.
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = object_;
    object_ = owned;
    Py_XDECREF(old);
  }

  // Hands the reference over to the caller.
  PyObject* release() noexcept {
    PyObject* owned = object_;
    object_ = nullptr;
    return owned;
  }

  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace vrex::python
