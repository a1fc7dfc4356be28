#include "result_bytes.h"

#include <cstdlib>
#include <new>

#include "memory_policy.h"

namespace vrex::ext {

namespace {

#ifdef VREX_FAULT_INJECTION
// Test builds only: VREX_INJECT_GROWTH_FAILURE=N makes the Nth growth of each
// call's result run out of memory.
bool growth_failure_asked(std::size_t growth) {
  const char* asked = std::getenv("VREX_INJECT_GROWTH_FAILURE");
  return asked != nullptr && std::strtoull(asked, nullptr, 10) == growth;
}
#endif

}  // namespace

std::uint8_t* ResultBytes::grow(std::size_t /*kept*/, std::size_t capacity) {
  if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
    throw std::bad_alloc();
  }
#ifdef VREX_FAULT_INJECTION
  if (growth_failure_asked(++growths_)) {
    Py_CLEAR(object_);
    throw std::bad_alloc();
  }
#endif
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
