// vrex._reader: reads a file back for the Python package. `read(data)` takes
// any contiguous buffer and returns the file as plain Python objects, which
// python/vrex/_table.py wraps into a Table.
//
// Numeric columns come out as one `bytes` block each (little-endian values
// back to back), so the package can view them without an object per cell;
// texts come out as lists of str, binary values as lists of bytes.
//
// No C++ exception crosses into the interpreter: exhausted memory becomes
// MemoryError and any other fault RuntimeError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "vrex/reader.h"

namespace {

constexpr const char* kErrorPrefix = "VREX read error: ";

constexpr const char* kReadDoc =
    "read(data, /)\n"
    "--\n"
    "\n"
    "Read a complete VREX file from a bytes-like object.\n"
    "\n"
    "Returns a dict with the keys version, metadata, descriptors, columns,\n"
    "slice_rows and num_rows. Raises ValueError when the data is not a valid file.";

// An owned reference, released on every path.
class PyRef {
 public:
  PyRef() = default;

  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  ~PyRef() { Py_XDECREF(object_); }

  explicit operator bool() const noexcept { return object_ != nullptr; }

  PyObject* get() const noexcept { return object_; }

  // Hands the reference over.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// A buffer view of the argument, released on every path.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  ~BufferView() {
    if (acquired_) PyBuffer_Release(&view_);
  }

  bool acquire(PyObject* source) {
    acquired_ = PyObject_GetBuffer(source, &view_, PyBUF_SIMPLE) == 0;
    return acquired_;
  }

  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

// A read-only buffer that owns one decoded array, so numeric columns reach
// Python without a copy (numpy.frombuffer and memoryview.cast view it).
struct ValueBuffer {
  PyObject_HEAD vrex::Object values;
  const void* data;
  Py_ssize_t size;
};

PyTypeObject* g_value_buffer_type = nullptr;

void value_buffer_dealloc(PyObject* self) {
  auto* buffer = reinterpret_cast<ValueBuffer*>(self);
  std::destroy_at(&buffer->values);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

int value_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* buffer = reinterpret_cast<ValueBuffer*>(self);
  return PyBuffer_FillInfo(view, self, const_cast<void*>(buffer->data), buffer->size, 1, flags);
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

// Moves `values` (an array of fixed-size elements) into a new buffer object.
PyObject* value_buffer_of(vrex::Object&& values);

template <class T>
concept ArrayAlternative = requires(const T& array) {
  array.values.size();
};

template <class T>
constexpr bool kIsTextArray =
    std::is_same_v<T, vrex::object::StringArray> || std::is_same_v<T, vrex::object::BinaryArray>;

PyObject* value_buffer_of(vrex::Object&& values) {
  auto* buffer = PyObject_New(ValueBuffer, g_value_buffer_type);
  if (buffer == nullptr) return nullptr;
  new (&buffer->values) vrex::Object(std::move(values));
  std::visit(
      [buffer](const auto& array) {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (ArrayAlternative<Array> && !kIsTextArray<Array>) {
          using Element = typename decltype(array.values)::value_type;
          buffer->data = array.values.data();
          buffer->size = static_cast<Py_ssize_t>(array.values.size() * sizeof(Element));
        } else {
          buffer->data = nullptr;
          buffer->size = 0;
        }
      },
      buffer->values);
  return reinterpret_cast<PyObject*>(buffer);
}

bool is_ascii(std::string_view text) noexcept {
  std::size_t at = 0;
  std::uint64_t high_bits = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    high_bits |= word;
  }
  for (; at < text.size(); ++at) high_bits |= static_cast<std::uint8_t>(text[at]);
  return (high_bits & 0x8080808080808080ULL) == 0;
}

// The reader has checked every text already; ASCII is copied straight in.
PyObject* text_to_python(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), size, "strict");
  PyObject* result = PyUnicode_New(size, 127);
  if (result != nullptr && size != 0)
    std::memcpy(PyUnicode_1BYTE_DATA(result), text.data(), text.size());
  return result;
}

PyObject* bytes_to_python(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// A scalar as the natural Python object: bool, int, float, str or bytes.
PyObject* scalar_to_python(const vrex::Object& value) {
  return std::visit(
      [](const auto& scalar) -> PyObject* {
        using Scalar = std::decay_t<decltype(scalar)>;
        namespace object = vrex::object;
        if constexpr (ArrayAlternative<Scalar>) {
          PyErr_SetString(PyExc_RuntimeError, "an array where a single value was read");
          return nullptr;
        } else if constexpr (std::is_same_v<Scalar, object::Bool>) {
          return PyBool_FromLong(scalar.value ? 1 : 0);
        } else if constexpr (std::is_same_v<Scalar, object::Int>) {
          return PyLong_FromLong(scalar.value);
        } else if constexpr (std::is_same_v<Scalar, object::Float> ||
                             std::is_same_v<Scalar, object::Double>) {
          return PyFloat_FromDouble(scalar.value);
        } else if constexpr (std::is_same_v<Scalar, object::String>) {
          return text_to_python(scalar.value);
        } else if constexpr (std::is_same_v<Scalar, object::Binary>) {
          return bytes_to_python(scalar.value);
        } else if constexpr (std::is_same_v<Scalar, object::Decimal>) {
          return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(scalar.value.data()), 16);
        } else {
          return PyLong_FromLongLong(scalar.value);  // Long and the four time types
        }
      },
      value);
}

PyObject* optional_to_python(const std::optional<vrex::Object>& value) {
  if (!value) Py_RETURN_NONE;
  return scalar_to_python(*value);
}

// Short texts that repeat (codes, categories, labels) share one object: a
// column of a few thousand distinct labels in a million rows then costs a
// few thousand objects. A column whose texts hardly repeat stops looking
// after its first stretch.
class RepeatedTexts {
 public:
  // Borrowed: the list being built holds the reference.
  PyObject* find(std::string_view text) {
    if (!active_ || text.size() > kLongest) return nullptr;
    ++lookups_;
    auto found = seen_.find(text);
    if (found != seen_.end()) {
      ++hits_;
      return found->second;
    }
    if (lookups_ == kTrial && hits_ * 4 < lookups_) active_ = false;
    return nullptr;
  }

  void remember(std::string_view text, PyObject* object) {
    if (active_ && text.size() <= kLongest && seen_.size() < kMostRemembered) {
      seen_.emplace(text, object);
    }
  }

 private:
  static constexpr std::size_t kLongest = 48;
  static constexpr std::size_t kTrial = 4096;
  static constexpr std::size_t kMostRemembered = 1 << 16;
  std::unordered_map<std::string_view, PyObject*> seen_;
  std::size_t lookups_ = 0;
  std::size_t hits_ = 0;
  bool active_ = true;
};

// Texts as a list of str, binary values as a list of bytes.
template <class Array>
PyObject* texts_to_python(const Array& array) {
  const vrex::TextArray& texts = array.values;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  RepeatedTexts repeated;
  for (std::size_t index = 0; index < texts.size(); ++index) {
    const std::string_view text = texts[index];
    PyObject* item = repeated.find(text);
    if (item != nullptr) {
      Py_INCREF(item);
    } else {
      item = std::is_same_v<Array, vrex::object::StringArray> ? text_to_python(text)
                                                              : bytes_to_python(text);
      if (item == nullptr) return nullptr;
      repeated.remember(text, item);
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
  }
  return list.release();
}

// An array's values: a buffer object for fixed-size values (moved, not
// copied), a list otherwise.
PyObject* array_to_python(vrex::Object&& values) {
  if (std::holds_alternative<vrex::object::StringArray>(values)) {
    return texts_to_python(std::get<vrex::object::StringArray>(values));
  }
  if (std::holds_alternative<vrex::object::BinaryArray>(values)) {
    return texts_to_python(std::get<vrex::object::BinaryArray>(values));
  }
  if (vrex::value_count(values) == 1 && values.index() % 2 == 0) {
    PyErr_SetString(PyExc_RuntimeError, "a single value where an array was read");
    return nullptr;
  }
  return value_buffer_of(std::move(values));
}

PyObject* flags_to_python(std::vector<std::uint8_t>&& flags) {
  return value_buffer_of(vrex::BoolArray{std::move(flags)});
}

PyObject* count_of_set(const std::vector<std::uint8_t>& flags) {
  std::size_t count = 0;
  for (std::uint8_t flag : flags) count += flag;
  return PyLong_FromSize_t(count);
}

int type_id(const vrex::Object& value) { return vrex::to_byte(vrex::type_of(value)); }

// Builds a tuple from new references; null if any of them is null.
template <class... Items>
PyObject* tuple_of(Items... items) {
  PyObject* parts[] = {items...};
  PyRef tuple(PyTuple_New(sizeof...(Items)));
  for (std::size_t index = 0; index < sizeof...(Items); ++index) {
    if (parts[index] == nullptr || !tuple) {
      for (PyObject* part : parts) Py_XDECREF(part);
      return nullptr;
    }
  }
  for (std::size_t index = 0; index < sizeof...(Items); ++index) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(index), parts[index]);
  }
  return tuple.release();
}

template <class Items, class Convert>
PyObject* list_of(Items& items, Convert convert) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (auto& item : items) {
    PyObject* converted = convert(item);
    if (converted == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), index++, converted);
  }
  return list.release();
}

// (name, data type id, [(name, value, default)], values type id, values,
//  is_invalid, invalid count, [(name, type id, values, present)])
PyObject* column_to_python(const vrex::ColumnMetadata& column, vrex::ColumnData&& data) {
  const int values_type = type_id(data.values);
  PyObject* invalid_count = count_of_set(data.is_invalid);
  return tuple_of(text_to_python(column.name), PyLong_FromLong(vrex::to_byte(column.data_type)),
                  list_of(column.properties,
                          [](const vrex::Metadata& property) {
                            return tuple_of(text_to_python(property.name),
                                            scalar_to_python(property.value),
                                            optional_to_python(property.default_value));
                          }),
                  PyLong_FromLong(values_type), array_to_python(std::move(data.values)),
                  flags_to_python(std::move(data.is_invalid)), invalid_count,
                  list_of(data.properties, [](vrex::JoinedProperty& property) {
                    const int property_type = type_id(property.values);
                    return tuple_of(text_to_python(property.name), PyLong_FromLong(property_type),
                                    array_to_python(std::move(property.values)),
                                    flags_to_python(std::move(property.present)));
                  }));
}

int set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return -1;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status;
}

PyObject* file_to_python(vrex::VrexFile& file) {
  PyRef result(PyDict_New());
  if (!result) return nullptr;
  PyObject* dict = result.get();
  if (set_item(dict, "version",
               tuple_of(PyLong_FromLong(file.major_version),
                        PyLong_FromLong(file.minor_version))) != 0 ||
      set_item(dict, "metadata",
               list_of(file.metadata,
                       [](const vrex::MetadataEntry& entry) {
                         return tuple_of(text_to_python(entry.name),
                                         PyLong_FromLong(vrex::to_byte(entry.type)),
                                         optional_to_python(entry.value),
                                         optional_to_python(entry.default_value));
                       })) != 0 ||
      set_item(dict, "descriptors",
               list_of(file.descriptors,
                       [](const vrex::PropertyDescriptor& descriptor) {
                         return tuple_of(text_to_python(descriptor.name),
                                         PyLong_FromLong(vrex::to_byte(descriptor.type)),
                                         optional_to_python(descriptor.default_value));
                       })) != 0 ||
      set_item(dict, "slice_rows",
               list_of(file.slice_rows,
                       [](std::uint64_t rows) { return PyLong_FromUnsignedLongLong(rows); })) !=
          0 ||
      set_item(dict, "num_rows", PyLong_FromUnsignedLongLong(file.num_rows)) != 0) {
    return nullptr;
  }
  PyRef columns(PyList_New(static_cast<Py_ssize_t>(file.columns.size())));
  if (!columns) return nullptr;
  for (std::size_t index = 0; index < file.columns.size(); ++index) {
    PyObject* column = column_to_python(file.columns[index], std::move(file.data[index]));
    if (column == nullptr) return nullptr;
    PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(index), column);
  }
  if (set_item(dict, "columns", columns.release()) != 0) return nullptr;
  return result.release();
}

PyObject* read_file(PyObject* data) {
  BufferView view;
  if (!view.acquire(data)) return nullptr;
  // Bytes cannot change under us, so other threads may run while it is read.
  const bool immutable = PyBytes_CheckExact(data);
  PyThreadState* saved = immutable ? PyEval_SaveThread() : nullptr;
  vrex::Result<vrex::VrexFile, vrex::VrexError> file = [&] {
    struct Restore {
      PyThreadState* saved;
      ~Restore() {
        if (saved != nullptr) PyEval_RestoreThread(saved);
      }
    } restore{saved};
    return vrex::read_vrex(view.bytes());
  }();
  if (!file) {
    const std::string message = kErrorPrefix + file.error().display_text();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  return file_to_python(*file);
}

PyObject* read_entry(PyObject* /*module*/, PyObject* data) {
  try {
    return read_file(data);
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "the native reader failed");
    return nullptr;
  }
}

PyMethodDef g_methods[] = {
    {"read", read_entry, METH_O, kReadDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vrex._reader",
    "Reads VREX files back into Python objects.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__reader(void) {
  try {
    if (g_value_buffer_type == nullptr) {
      g_value_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_value_buffer_spec));
      if (g_value_buffer_type == nullptr) return nullptr;
    }
    return PyModule_Create(&g_module_def);
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "vrex._reader failed to initialise");
    return nullptr;
  }
}
