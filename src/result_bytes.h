// The result of a conversion, written in place: a ByteStorage whose block is
// the inside of a bytes object, grown with the output, so the finished file
// needs no copy and its pages are touched once.
//
// The object stays private to this storage until finish() hands it over, so no
// Python code ever sees it half written. The interpreter lock must be held
// throughout: creating and resizing a bytes object needs it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "vrex/byte_storage.h"

namespace vrex::ext {

class ResultBytes final : public vrex::ByteStorage {
 public:
  ResultBytes() = default;

  // An object never handed over (the call failed) is released here.
  ~ResultBytes() { Py_XDECREF(object_); }

  // Resizing keeps every byte (a large block moves by remapping, not copying),
  // so `kept` needs no work. Exhausted memory throws std::bad_alloc with no
  // Python error pending; the object is gone then.
  std::uint8_t* grow(std::size_t kept, std::size_t capacity) override;

  // The object cut to its first `size` bytes, now owned by the caller; or
  // nullptr with MemoryError raised.
  PyObject* finish(std::size_t size);

  // The room the object has now.
  std::size_t capacity() const noexcept;

 private:
  PyObject* object_ = nullptr;
#ifdef VREX_FAULT_INJECTION
  std::size_t growths_ = 0;
#endif
};

}  // namespace vrex::ext
