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
#include <new>
#include <span>
#include <string>
#include <type_traits>
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

template <class T>
concept ArrayAlternative = requires(const T& array) {
  array.values.size();
};

template <class T>
constexpr bool kIsTextArray =
    std::is_same_v<T, vrex::object::StringArray> || std::is_same_v<T, vrex::object::BinaryArray>;

PyObject* text_to_python(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
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

// Texts as a list of str, binary values as a list of bytes.
template <class Array>
PyObject* texts_to_python(const Array& array) {
  const vrex::TextArray& texts = array.values;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < texts.size(); ++index) {
    PyObject* item = std::is_same_v<Array, vrex::object::StringArray>
                         ? text_to_python(texts[index])
                         : bytes_to_python(texts[index]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
  }
  return list.release();
}

// An array's values: one bytes block for fixed-size values, a list otherwise.
PyObject* array_to_python(const vrex::Object& values) {
  return std::visit(
      [](const auto& array) -> PyObject* {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (!ArrayAlternative<Array>) {
          PyErr_SetString(PyExc_RuntimeError, "a single value where an array was read");
          return nullptr;
        } else if constexpr (kIsTextArray<Array>) {
          return texts_to_python(array);
        } else {
          using Element = typename decltype(array.values)::value_type;
          return PyBytes_FromStringAndSize(
              reinterpret_cast<const char*>(array.values.data()),
              static_cast<Py_ssize_t>(array.values.size() * sizeof(Element)));
        }
      },
      values);
}

PyObject* flags_to_python(const std::vector<std::uint8_t>& flags) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(flags.data()),
                                   static_cast<Py_ssize_t>(flags.size()));
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
PyObject* list_of(const Items& items, Convert convert) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const auto& item : items) {
    PyObject* converted = convert(item);
    if (converted == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), index++, converted);
  }
  return list.release();
}

// (name, data type id, [(name, value, default)], values type id, values,
//  is_invalid, [(name, type id, values, present)])
PyObject* column_to_python(const vrex::ColumnMetadata& column, const vrex::ColumnData& data) {
  return tuple_of(
      text_to_python(column.name), PyLong_FromLong(vrex::to_byte(column.data_type)),
      list_of(column.properties,
              [](const vrex::Metadata& property) {
                return tuple_of(text_to_python(property.name), scalar_to_python(property.value),
                                optional_to_python(property.default_value));
              }),
      PyLong_FromLong(type_id(data.values)), array_to_python(data.values),
      flags_to_python(data.is_invalid),
      list_of(data.properties, [](const vrex::JoinedProperty& property) {
        return tuple_of(text_to_python(property.name), PyLong_FromLong(type_id(property.values)),
                        array_to_python(property.values), flags_to_python(property.present));
      }));
}

int set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return -1;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status;
}

PyObject* file_to_python(const vrex::VrexFile& file) {
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
    PyObject* column = column_to_python(file.columns[index], file.data[index]);
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
    return PyModule_Create(&g_module_def);
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "vrex._reader failed to initialise");
    return nullptr;
  }
}
