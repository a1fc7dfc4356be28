#include "result_bytes.h"

#include <new>

#include "memory_policy.h"

namespace vrex::ext {

std::uint8_t* ResultBytes::grow(std::size_t /*kept*/, std::size_t capacity) {
  if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
    throw std::bad_alloc();
  }
  const auto length = static_cast<Py_ssize_t>(capacity);
  // _PyBytes_Resize releases the object and sets it to null when it fails.
  if (object_ == nullptr) {
    object_ = PyBytes_FromStringAndSize(nullptr, length);
  } else if (_PyBytes_Resize(&object_, length) < 0) {
    object_ = nullptr;
  }
  if (object_ == nullptr) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  char* data = PyBytes_AS_STRING(object_);
  advise_huge_pages(data, capacity);
  return reinterpret_cast<std::uint8_t*>(data);
}

PyObject* ResultBytes::finish(std::size_t size) {
  if (object_ == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
  if (size > capacity()) {
    PyErr_SetString(PyExc_SystemError, "result cut beyond what was written");
    return nullptr;
  }
  if (_PyBytes_Resize(&object_, static_cast<Py_ssize_t>(size)) < 0) {
    object_ = nullptr;
    return nullptr;
  }
  PyObject* finished = object_;
  object_ = nullptr;
  return finished;
}

std::size_t ResultBytes::capacity() const noexcept {
  return object_ == nullptr ? 0 : static_cast<std::size_t>(PyBytes_GET_SIZE(object_));
}

}  // namespace vrex::ext
