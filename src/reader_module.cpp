// vrex._reader: reads a file back for the Python package.
//
// `read(data)` takes any contiguous buffer, `read_file(path)` maps a file
// read-only; both return a `File` structure that python/vrex/_table.py wraps
// into a Table. Every array crosses as buffers, never as one object per
// value: fixed-size values as their little-endian bytes, texts as one block
// plus an offsets array, invalid flags as bytes and as a validity bitmap.
//
// Calls run behind the shared fault barrier: no C++ exception reaches the
// interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "python/fault_barrier.h"
#include "python/py_ref.h"
#include "reader_arrow.h"
#include "reader_buffer.h"
#include "vrex/reader.h"
#include "vrex/reader_columnar.h"
#include "vrex/reader_mapped_file.h"
#include "vrex/reader_slices.h"

namespace {

using vrex::python::PyRef;

constexpr const char* kErrorPrefix = "VREX read error: ";

constexpr const char* kReadDoc =
    "read(data, /, *, threads=1)\n"
    "--\n"
    "\n"
    "Read a complete VREX file from a bytes-like object, decoding columns\n"
    "on up to `threads` threads (bytes of a MiB or more; other buffers and\n"
    "smaller files are read on the calling thread).\n"
    "\n"
    "Returns a File. Raises ValueError when the data is not a valid file.";

constexpr const char* kReadFileDoc =
    "read_file(path, /, *, threads=1)\n"
    "--\n"
    "\n"
    "Read a complete VREX file from a path; the file is mapped, not copied,\n"
    "and the columns of a file of a MiB or more are decoded on up to\n"
    "`threads` threads.\n"
    "\n"
    "Returns a File. Raises OSError when the file cannot be mapped and\n"
    "ValueError when it is not a valid file.";

constexpr const char* kReadSlicedDoc =
    "read_sliced(data, /, *, threads=1, text_views=False)\n"
    "--\n"
    "\n"
    "Like read(), but a file of the common shape (no value property but the\n"
    "invalid flags) held in bytes comes back as a SlicedFile: its arrays stay\n"
    "per table slice, fixed-size values pointing into `data`, for Arrow to\n"
    "take through `arrow`. Any other file, or a buffer other than bytes, gives\n"
    "what read() gives. With `text_views`, texts are Arrow string views\n"
    "into `data` instead of copies with offsets.";

constexpr const char* kReadFileSlicedDoc =
    "read_file_sliced(path, /, *, threads=1, text_views=False)\n"
    "--\n"
    "\n"
    "Like read_file(), but a file of the common shape comes back as a\n"
    "SlicedFile whose arrays point into the mapped file, which stays mapped\n"
    "while any of them lives.";

constexpr const char* kReadJoinedDoc =
    "read_joined(source, /, *, threads=1)\n"
    "--\n"
    "\n"
    "Reads the bytes behind an ArrowSource again, into a File of joined columns.";

// The numbering of value types as Python sees it, in type id order.
constexpr std::pair<const char*, vrex::ValueType> kValueTypes[] = {
    {"Bool", vrex::ValueType::Bool},         {"Int", vrex::ValueType::Int},
    {"Long", vrex::ValueType::Long},         {"Float", vrex::ValueType::Float},
    {"Double", vrex::ValueType::Double},     {"DateTime", vrex::ValueType::DateTime},
    {"Date", vrex::ValueType::Date},         {"Time", vrex::ValueType::Time},
    {"TimeSpan", vrex::ValueType::TimeSpan}, {"String", vrex::ValueType::String},
    {"Binary", vrex::ValueType::Binary},     {"Decimal", vrex::ValueType::Decimal},
};

// ----------------------------------------------------------------------------
// The structures handed to Python

PyStructSequence_Field g_file_fields[] = {
    {"version", "(major, minor)"},
    {"metadata", "table metadata: [(name, type id, value or None, default or None)]"},
    {"descriptors", "column property descriptors: [(name, type id, default or None)]"},
    {"columns", "a Column per column, in file order"},
    {"slice_rows", "rows of each table slice, in file order"},
    {"num_rows", "rows of all slices together"},
    {nullptr, nullptr},
};

PyStructSequence_Field g_column_fields[] = {
    {"name", "the column name"},
    {"data_type", "the declared type id"},
    {"properties", "further column properties: [(name, value, default or None)]"},
    {"values", "Values: one per row, all slices joined"},
    {"is_invalid", "one byte per row, 1 where the value did not read"},
    {"validity", "a bitmap, bit i (from 0x01 up) set where row i is valid; None if all are"},
    {"invalid_count", "rows flagged invalid"},
    {"value_properties", "further value properties: [ValueProperty]"},
    {nullptr, nullptr},
};

PyStructSequence_Field g_values_fields[] = {
    {"type", "the type id the values are stored in"},
    {"data", "fixed-size values back to back, or the block of all texts"},
    {"offsets", "texts only: n + 1 int64 offsets into data; else None"},
    {nullptr, nullptr},
};

PyStructSequence_Field g_property_fields[] = {
    {"name", "the property name"},
    {"values", "Values: one per row; placeholders where a slice lacks the property"},
    {"present", "one byte per row, 1 where the row's slice holds the property"},
    {nullptr, nullptr},
};

PyStructSequence_Field g_sliced_file_fields[] = {
    {"version", "(major, minor)"},
    {"metadata", "table metadata: [(name, type id, value or None, default or None)]"},
    {"descriptors", "column property descriptors: [(name, type id, default or None)]"},
    {"columns", "[(name, declared type id, properties, stored type id)], in file order"},
    {"slice_rows", "rows of each table slice, in file order"},
    {"num_rows", "rows of all slices together"},
    {"arrow", "an ArrowSource: a record batch per table slice, columns named by position"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_file_desc = {"vrex._reader.File", "A file read back.", g_file_fields, 6};
PyStructSequence_Desc g_column_desc = {"vrex._reader.Column", "One column read back.",
                                       g_column_fields, 8};
PyStructSequence_Desc g_values_desc = {"vrex._reader.Values", "The values of one array.",
                                       g_values_fields, 3};
PyStructSequence_Desc g_property_desc = {
    "vrex._reader.ValueProperty", "A value property joined across slices.", g_property_fields, 3};

PyStructSequence_Desc g_sliced_file_desc = {"vrex._reader.SlicedFile",
                                            "A file read slice by slice.", g_sliced_file_fields, 7};

PyTypeObject* g_file_type = nullptr;
PyTypeObject* g_sliced_file_type = nullptr;
PyTypeObject* g_column_type = nullptr;
PyTypeObject* g_values_type = nullptr;
PyTypeObject* g_property_type = nullptr;

// Fills a new structure from new references; null if any of them is null.
template <class... Items>
PyObject* structure_of(PyTypeObject* type, Items... items) {
  PyObject* parts[] = {items...};
  PyRef structure(PyStructSequence_New(type));
  for (PyObject* part : parts) {
    if (part == nullptr || !structure) {
      for (PyObject* owned : parts) Py_XDECREF(owned);
      return nullptr;
    }
  }
  for (std::size_t index = 0; index < sizeof...(Items); ++index) {
    PyStructSequence_SetItem(structure.get(), static_cast<Py_ssize_t>(index), parts[index]);
  }
  return structure.release();
}

template <class... Items>
PyObject* tuple_of(Items... items) {
  PyObject* parts[] = {items...};
  for (PyObject* part : parts) {
    if (part == nullptr) {
      for (PyObject* owned : parts) Py_XDECREF(owned);
      return nullptr;
    }
  }
  PyRef tuple(PyTuple_New(sizeof...(Items)));
  if (!tuple) {
    for (PyObject* owned : parts) Py_DECREF(owned);
    return nullptr;
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

// ----------------------------------------------------------------------------
// Single values (metadata): the natural Python object

template <class T>
concept ArrayAlternative = requires(const T& array) {
  array.values.size();
};

template <class T>
constexpr bool kIsTextArray =
    std::is_same_v<T, vrex::object::StringArray> || std::is_same_v<T, vrex::object::BinaryArray>;

// The reader has checked every text already.
PyObject* text_to_python(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

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
          return PyBytes_FromStringAndSize(scalar.value.data(),
                                           static_cast<Py_ssize_t>(scalar.value.size()));
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

PyObject* type_id_to_python(vrex::ValueType type) { return PyLong_FromLong(vrex::to_byte(type)); }

// ----------------------------------------------------------------------------
// Arrays: buffers moved out of the decoded file, never copied value by value

// The array's storage moves into buffer objects; `values` is left empty.
PyObject* values_to_python(vrex::Object&& values) {
  const vrex::ValueType type = vrex::type_of(values);
  return std::visit(
      [type](auto& array) -> PyObject* {
        using Array = std::decay_t<decltype(array)>;
        if constexpr (!ArrayAlternative<Array>) {
          PyErr_SetString(PyExc_RuntimeError, "a single value where an array was read");
          return nullptr;
        } else if constexpr (kIsTextArray<Array>) {
          PyObject* offsets = vrex::python::value_buffer_of(vrex::take_offsets(array.values));
          return structure_of(g_values_type, type_id_to_python(type),
                              vrex::python::value_buffer_of(array.values.take_block()), offsets);
        } else {
          return structure_of(g_values_type, type_id_to_python(type),
                              vrex::python::value_buffer_of(std::move(array.values)),
                              Py_NewRef(Py_None));
        }
      },
      values);
}

std::size_t count_of_set(const std::vector<std::uint8_t>& flags) {
  std::size_t count = 0;
  for (std::uint8_t flag : flags) count += flag;
  return count;
}

PyObject* column_properties_to_python(const vrex::ColumnMetadata& column) {
  return list_of(column.properties, [](const vrex::Metadata& property) {
    return tuple_of(text_to_python(property.name), scalar_to_python(property.value),
                    optional_to_python(property.default_value));
  });
}

PyObject* column_to_python(const vrex::ColumnMetadata& column, vrex::ColumnData&& data) {
  const std::size_t invalid_count = count_of_set(data.is_invalid);
  PyObject* validity = invalid_count == 0 ? Py_NewRef(Py_None)
                                          : vrex::python::value_buffer_of(vrex::pack_bits_lsb_first(
                                                data.is_invalid, /*invert=*/true));
  return structure_of(
      g_column_type, text_to_python(column.name), type_id_to_python(column.data_type),
      column_properties_to_python(column), values_to_python(std::move(data.values)),
      vrex::python::value_buffer_of(std::move(data.is_invalid)), validity,
      PyLong_FromSize_t(invalid_count),
      list_of(data.properties, [](vrex::JoinedProperty& property) {
        return structure_of(g_property_type, text_to_python(property.name),
                            values_to_python(std::move(property.values)),
                            vrex::python::value_buffer_of(std::move(property.present)));
      }));
}

PyObject* columns_to_python(vrex::VrexFile& file) {
  PyRef columns(PyList_New(static_cast<Py_ssize_t>(file.columns.size())));
  if (!columns) return nullptr;
  for (std::size_t index = 0; index < file.columns.size(); ++index) {
    PyObject* column = column_to_python(file.columns[index], std::move(file.data[index]));
    if (column == nullptr) return nullptr;
    PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(index), column);
  }
  return columns.release();
}

PyObject* version_to_python(const vrex::VrexFile& file) {
  return tuple_of(PyLong_FromLong(file.major_version), PyLong_FromLong(file.minor_version));
}

PyObject* metadata_to_python(const vrex::VrexFile& file) {
  return list_of(file.metadata, [](const vrex::MetadataEntry& entry) {
    return tuple_of(text_to_python(entry.name), type_id_to_python(entry.type),
                    optional_to_python(entry.value), optional_to_python(entry.default_value));
  });
}

PyObject* descriptors_to_python(const vrex::VrexFile& file) {
  return list_of(file.descriptors, [](const vrex::PropertyDescriptor& descriptor) {
    return tuple_of(text_to_python(descriptor.name), type_id_to_python(descriptor.type),
                    optional_to_python(descriptor.default_value));
  });
}

PyObject* slice_rows_to_python(const vrex::VrexFile& file) {
  return list_of(file.slice_rows,
                 [](std::uint64_t rows) { return PyLong_FromUnsignedLongLong(rows); });
}

PyObject* file_to_python(vrex::VrexFile& file) {
  return structure_of(g_file_type, version_to_python(file), metadata_to_python(file),
                      descriptors_to_python(file), columns_to_python(file),
                      slice_rows_to_python(file), PyLong_FromUnsignedLongLong(file.num_rows));
}

PyObject* sliced_file_to_python(std::shared_ptr<const vrex::python::SlicedRead> read) {
  const vrex::SlicedFile& sliced = read->file;
  const vrex::VrexFile& header = sliced.header;
  PyRef columns(PyList_New(static_cast<Py_ssize_t>(header.columns.size())));
  if (!columns) return nullptr;
  for (std::size_t index = 0; index < header.columns.size(); ++index) {
    const vrex::ColumnMetadata& column = header.columns[index];
    PyObject* item = tuple_of(text_to_python(column.name), type_id_to_python(column.data_type),
                              column_properties_to_python(column),
                              type_id_to_python(sliced.columns[index].type));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(index), item);
  }
  return structure_of(g_sliced_file_type, version_to_python(header), metadata_to_python(header),
                      descriptors_to_python(header), columns.release(),
                      slice_rows_to_python(header), PyLong_FromUnsignedLongLong(header.num_rows),
                      vrex::python::arrow_source(std::move(read)));
}

// ----------------------------------------------------------------------------
// Entry points

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

// Decodes `bytes`, letting other threads run meanwhile when `immutable`
// promises that nothing can change them, and hands the result to Python.
// Bytes that Python code could change meanwhile are read on this thread alone.
PyObject* decode_to_python(std::span<const std::uint8_t> bytes, bool immutable, unsigned threads) {
  const vrex::ReadOptions options{immutable ? threads : 1u};
  PyThreadState* saved = immutable ? PyEval_SaveThread() : nullptr;
  vrex::Result<vrex::VrexFile, vrex::VrexError> file = [&] {
    struct Restore {
      PyThreadState* saved;
      ~Restore() {
        if (saved != nullptr) PyEval_RestoreThread(saved);
      }
    } restore{saved};
    return vrex::read_vrex(bytes, options);
  }();
  if (!file) {
    const std::string message = kErrorPrefix + file.error().display_text();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  return file_to_python(*file);
}

PyObject* read_bytes(PyObject* data, unsigned threads) {
  vrex::python::inject_fault_if_asked();
  BufferView view;
  if (!view.acquire(data)) return nullptr;
  return decode_to_python(view.bytes(), PyBytes_CheckExact(data), threads);
}

// Every array is decoded into memory of its own, so the map goes when the
// call returns.
PyObject* read_path(PyObject* path, unsigned threads) {
  vrex::python::inject_fault_if_asked();
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(path, &converted) == 0) return nullptr;
  PyRef encoded(converted);
  const std::string file_name(PyBytes_AS_STRING(converted),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
  auto mapped = vrex::MappedFile::open(file_name);
  if (!mapped) {
    errno = mapped.error();
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  }
  return decode_to_python(mapped->bytes(), /*immutable=*/true, threads);
}

// What keeps a sliced read's views valid.
class MappedSource final : public vrex::python::ReadSource {
 public:
  explicit MappedSource(vrex::MappedFile&& file) noexcept : file_(std::move(file)) {}

 private:
  vrex::MappedFile file_;
};

// Holds a bytes object, which may be let go of on any thread: a consumer
// frees its arrays wherever it likes, with or without the interpreter lock.
class BytesSource final : public vrex::python::ReadSource {
 public:
  explicit BytesSource(PyObject* bytes) noexcept : bytes_(Py_NewRef(bytes)) {}

  ~BytesSource() override {
#if PY_VERSION_HEX >= 0x030D0000
    if (Py_IsFinalizing()) return;
#else
    if (_Py_IsFinalizing()) return;
#endif
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(bytes_);
    PyGILState_Release(gil);
  }

 private:
  PyObject* bytes_;
};

// Reads `bytes`, which `source` keeps alive, slice by slice without the
// interpreter lock; a file that path does not take is read in order.
PyObject* decode_sliced_to_python(std::unique_ptr<vrex::python::ReadSource> source,
                                  std::span<const std::uint8_t> bytes, unsigned threads,
                                  vrex::TextLayout texts) {
  auto read = std::make_shared<vrex::python::SlicedRead>();
  read->source = std::move(source);
  read->bytes = bytes;
  std::optional<vrex::SlicedFile> sliced;
  {
    PyThreadState* saved = PyEval_SaveThread();

    struct Restore {
      PyThreadState* saved;

      ~Restore() { PyEval_RestoreThread(saved); }
    } restore{saved};

    sliced = vrex::read_vrex_slices(bytes, vrex::ReadOptions{threads}, texts);
  }
  if (!sliced) return decode_to_python(bytes, /*immutable=*/true, threads);
  read->file = std::move(*sliced);
  return sliced_file_to_python(std::move(read));
}

PyObject* read_sliced_bytes(PyObject* data, unsigned threads, vrex::TextLayout texts) {
  vrex::python::inject_fault_if_asked();
  // Only bytes cannot change under the views.
  if (!PyBytes_CheckExact(data)) {
    BufferView view;
    if (!view.acquire(data)) return nullptr;
    return decode_to_python(view.bytes(), /*immutable=*/false, threads);
  }
  std::span<const std::uint8_t> bytes(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
      static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  return decode_sliced_to_python(std::make_unique<BytesSource>(data), bytes, threads, texts);
}

// The map stays while the table's arrays point into it.
PyObject* read_sliced_path(PyObject* path, unsigned threads, vrex::TextLayout texts) {
  vrex::python::inject_fault_if_asked();
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(path, &converted) == 0) return nullptr;
  PyRef encoded(converted);
  const std::string file_name(PyBytes_AS_STRING(converted),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
  auto mapped = vrex::MappedFile::open(file_name);
  if (!mapped) {
    errno = mapped.error();
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  }
  const std::span<const std::uint8_t> bytes = mapped->bytes();
  return decode_sliced_to_python(std::make_unique<MappedSource>(std::move(*mapped)), bytes, threads,
                                 texts);
}

PyObject* read_joined(PyObject* source, unsigned threads) {
  const vrex::python::SlicedRead* read = vrex::python::sliced_read_of(source);
  if (read == nullptr) return nullptr;
  return decode_to_python(read->bytes, /*immutable=*/true, threads);
}

// More threads than this are never useful and keep a careless count from
// asking the system for millions of them.
constexpr Py_ssize_t kMostThreads = 1024;

// The one positional argument and the keyword-only thread count; false with
// the error set when they do not parse.
bool parse_arguments(const char* function, PyObject* args, PyObject* kwargs, PyObject** first,
                     unsigned* threads) {
  static const char* first_names[] = {"", "threads", nullptr};
  const std::string format = std::string("O|$n:") + function;
  Py_ssize_t count = 1;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(first_names),
                                  first, &count) == 0) {
    return false;
  }
  if (count < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return false;
  }
  *threads = static_cast<unsigned>(std::min(count, kMostThreads));
  return true;
}

// The same with the keyword-only text layout of a sliced read.
bool parse_sliced_arguments(const char* function, PyObject* args, PyObject* kwargs,
                            PyObject** first, unsigned* threads, vrex::TextLayout* texts) {
  static const char* names[] = {"", "threads", "text_views", nullptr};
  const std::string format = std::string("O|$np:") + function;
  Py_ssize_t count = 1;
  int views = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names), first,
                                  &count, &views) == 0) {
    return false;
  }
  if (count < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return false;
  }
  *threads = static_cast<unsigned>(std::min(count, kMostThreads));
  *texts = views != 0 ? vrex::TextLayout::Views : vrex::TextLayout::Copies;
  return true;
}

PyObject* read_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return vrex::python::behind_fault_barrier([args, kwargs]() -> PyObject* {
    PyObject* data = nullptr;
    unsigned threads = 1;
    if (!parse_arguments("read", args, kwargs, &data, &threads)) return nullptr;
    return read_bytes(data, threads);
  });
}

PyObject* read_file_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return vrex::python::behind_fault_barrier([args, kwargs]() -> PyObject* {
    PyObject* path = nullptr;
    unsigned threads = 1;
    if (!parse_arguments("read_file", args, kwargs, &path, &threads)) return nullptr;
    return read_path(path, threads);
  });
}

PyObject* read_sliced_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return vrex::python::behind_fault_barrier([args, kwargs]() -> PyObject* {
    PyObject* data = nullptr;
    unsigned threads = 1;
    vrex::TextLayout texts = vrex::TextLayout::Copies;
    if (!parse_sliced_arguments("read_sliced", args, kwargs, &data, &threads, &texts)) {
      return nullptr;
    }
    return read_sliced_bytes(data, threads, texts);
  });
}

PyObject* read_file_sliced_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return vrex::python::behind_fault_barrier([args, kwargs]() -> PyObject* {
    PyObject* path = nullptr;
    unsigned threads = 1;
    vrex::TextLayout texts = vrex::TextLayout::Copies;
    if (!parse_sliced_arguments("read_file_sliced", args, kwargs, &path, &threads, &texts)) {
      return nullptr;
    }
    return read_sliced_path(path, threads, texts);
  });
}

PyObject* read_joined_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return vrex::python::behind_fault_barrier([args, kwargs]() -> PyObject* {
    PyObject* source = nullptr;
    unsigned threads = 1;
    if (!parse_arguments("read_joined", args, kwargs, &source, &threads)) return nullptr;
    return read_joined(source, threads);
  });
}

PyMethodDef g_methods[] = {
    {"read_sliced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_sliced_entry)),
     METH_VARARGS | METH_KEYWORDS, kReadSlicedDoc},
    {"read_file_sliced",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_file_sliced_entry)),
     METH_VARARGS | METH_KEYWORDS, kReadFileSlicedDoc},
    {"read_joined", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_joined_entry)),
     METH_VARARGS | METH_KEYWORDS, kReadJoinedDoc},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_entry)),
     METH_VARARGS | METH_KEYWORDS, kReadDoc},
    {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_file_entry)),
     METH_VARARGS | METH_KEYWORDS, kReadFileDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vrex._reader",
    "Reads VREX files back into buffers for Python.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool ready_structure_type(PyTypeObject** type, PyStructSequence_Desc* desc) {
  if (*type == nullptr) *type = PyStructSequence_NewType(desc);
  return *type != nullptr;
}

PyObject* value_types_to_python() {
  PyRef numbering(PyDict_New());
  if (!numbering) return nullptr;
  for (const auto& [name, type] : kValueTypes) {
    PyRef id(type_id_to_python(type));
    if (!id || PyDict_SetItemString(numbering.get(), name, id.get()) != 0) return nullptr;
  }
  return numbering.release();
}

PyObject* init_module() {
  if (!vrex::python::ready_value_buffer_type() || !vrex::python::ready_arrow_source_type() ||
      !ready_structure_type(&g_file_type, &g_file_desc) ||
      !ready_structure_type(&g_sliced_file_type, &g_sliced_file_desc) ||
      !ready_structure_type(&g_column_type, &g_column_desc) ||
      !ready_structure_type(&g_values_type, &g_values_desc) ||
      !ready_structure_type(&g_property_type, &g_property_desc)) {
    return nullptr;
  }
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* panic = vrex::python::panic_exception_type();
  // PyModule_Add, which would take the reference, is new in 3.13.
  PyRef value_types(value_types_to_python());
  if (panic == nullptr || !value_types ||
      PyModule_AddObjectRef(module.get(), "PanicException", panic) != 0 ||
      PyModule_AddObjectRef(module.get(), "File", reinterpret_cast<PyObject*>(g_file_type)) != 0 ||
      PyModule_AddObjectRef(module.get(), "SlicedFile",
                            reinterpret_cast<PyObject*>(g_sliced_file_type)) != 0 ||
      PyModule_AddObjectRef(module.get(), "Column", reinterpret_cast<PyObject*>(g_column_type)) !=
          0 ||
      PyModule_AddObjectRef(module.get(), "Values", reinterpret_cast<PyObject*>(g_values_type)) !=
          0 ||
      PyModule_AddObjectRef(module.get(), "ValueProperty",
                            reinterpret_cast<PyObject*>(g_property_type)) != 0 ||
      PyModule_AddObjectRef(module.get(), "VALUE_TYPES", value_types.get()) != 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__reader(void) {
  return vrex::python::behind_fault_barrier([] { return init_module(); });
}
