#include "reader_buffer.h"

#include <new>

namespace vrex::python {

namespace {

struct ValueBuffer {
  PyObject_HEAD std::unique_ptr<BufferStorage> storage;
  const std::byte* data;
  Py_ssize_t size;
};

PyTypeObject* g_value_buffer_type = nullptr;

void value_buffer_dealloc(PyObject* self) {
  auto* buffer = reinterpret_cast<ValueBuffer*>(self);
  std::destroy_at(&buffer->storage);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

int value_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* buffer = reinterpret_cast<ValueBuffer*>(self);
  // An empty array may have no storage at all; give out a valid address.
  static const std::byte kNothing{};
  void* data = const_cast<std::byte*>(buffer->data != nullptr ? buffer->data : &kNothing);
  return PyBuffer_FillInfo(view, self, data, buffer->size, 1, flags);
}

Py_ssize_t value_buffer_length(PyObject* self) {
  return reinterpret_cast<ValueBuffer*>(self)->size;
}

PyType_Slot g_value_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(value_buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(value_buffer_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(value_buffer_length)},
    {Py_tp_doc, const_cast<char*>("Read-only bytes of one decoded array.")},
    {0, nullptr},
};

PyType_Spec g_value_buffer_spec = {
    "vrex._reader.ValueBuffer",
    sizeof(ValueBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_value_buffer_slots,
};

}  // namespace

bool ready_value_buffer_type() {
  if (g_value_buffer_type == nullptr) {
    g_value_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_value_buffer_spec));
  }
  return g_value_buffer_type != nullptr;
}

PyObject* value_buffer(std::unique_ptr<BufferStorage> storage, std::span<const std::byte> bytes) {
  auto* buffer = PyObject_New(ValueBuffer, g_value_buffer_type);
  if (buffer == nullptr) return nullptr;
  new (&buffer->storage) std::unique_ptr<BufferStorage>(std::move(storage));
  buffer->data = bytes.data();
  buffer->size = static_cast<Py_ssize_t>(bytes.size());
  return reinterpret_cast<PyObject*>(buffer);
}

}  // namespace vrex::python
