// vrex._reader.ValueBuffer: a read-only Python buffer over memory that the
// object owns (a decoded array, a block of texts, a bitmap), so arrays reach
// numpy and Arrow without a copy and without an object per value.
#pragma once

#ifndef Py_PYTHON_H
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <cstddef>
#include <memory>
#include <span>
#include <utility>

namespace vrex::python {

// Whatever keeps a buffer's bytes alive.
class BufferStorage {
 public:
  virtual ~BufferStorage() = default;
};

template <class T>
class HeldStorage final : public BufferStorage {
 public:
  explicit HeldStorage(T&& held) noexcept : held_(std::move(held)) {}

  const T& held() const noexcept { return held_; }

 private:
  T held_;
};

// Creates the type; once per process, before the first buffer.
bool ready_value_buffer_type();

// A new buffer object over `bytes`, which stay valid while `storage` lives.
PyObject* value_buffer(std::unique_ptr<BufferStorage> storage, std::span<const std::byte> bytes);

// A buffer that takes over `container` (a vector or string) and shows its
// elements' bytes.
template <class Container>
PyObject* value_buffer_of(Container container) {
  auto storage = std::make_unique<HeldStorage<Container>>(std::move(container));
  const Container& held = storage->held();
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(held.data()),
                                   held.size() * sizeof(typename Container::value_type));
  return value_buffer(std::move(storage), bytes);
}

}  // namespace vrex::python
