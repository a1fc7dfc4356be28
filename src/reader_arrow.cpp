#include "reader_arrow.h"

#include <array>
#include <cerrno>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace vrex::python {

namespace {

// What an empty buffer points at: consumers want an address even for none.
alignas(64) constexpr std::uint8_t kNoBytes[64] = {};

const void* address_of(const ChunkBuffer& buffer) noexcept {
  return buffer.data() != nullptr ? buffer.data() : kNoBytes;
}

// The Arrow format string of each value type; dates and times stay the
// integers the file holds, as for a joined read.
const char* format_of(ValueType type, bool text_views) noexcept {
  if (text_views) return type == ValueType::String ? "vu" : "vz";
  switch (type) {
    case ValueType::Bool:
      return "b";
    case ValueType::Int:
      return "i";
    case ValueType::Float:
      return "f";
    case ValueType::Double:
      return "g";
    case ValueType::Long:
    case ValueType::DateTime:
    case ValueType::Date:
    case ValueType::Time:
    case ValueType::TimeSpan:
      return "l";
    case ValueType::String:
      return "u";
    case ValueType::Binary:
      return "z";
    case ValueType::Decimal:
      return "w:16";
  }
  return "z";
}

bool is_text(ValueType type) noexcept {
  return type == ValueType::String || type == ValueType::Binary;
}

// ----------------------------------------------------------------------------
// Schema: a struct of one nullable field per column, named by position (the
// package puts the names back, which may hold any character).

struct SchemaState {
  std::vector<std::string> names;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

// Children live in their parent's state and go with it.
void release_child_schema(ArrowSchema* schema) noexcept { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) noexcept {
  std::unique_ptr<SchemaState> state(static_cast<SchemaState*>(schema->private_data));
  for (ArrowSchema* child : state->child_pointers) {
    if (child->release != nullptr) child->release(child);
  }
  schema->release = nullptr;
}

void export_schema(const SlicedFile& file, ArrowSchema* out) {
  auto state = std::make_unique<SchemaState>();
  const std::size_t count = file.columns.size();
  state->names.reserve(count);
  state->children.resize(count);
  state->child_pointers.resize(count);
  for (std::size_t column = 0; column < count; ++column) {
    state->names.push_back(std::to_string(column));
    state->children[column] =
        ArrowSchema{format_of(file.columns[column].type, file.columns[column].text_views),
                    state->names.back().c_str(),
                    nullptr,
                    ARROW_FLAG_NULLABLE,
                    0,
                    nullptr,
                    nullptr,
                    release_child_schema,
                    nullptr};
    state->child_pointers[column] = &state->children[column];
  }
  *out = ArrowSchema{"+s",
                     "",
                     nullptr,
                     0,
                     static_cast<int64_t>(count),
                     state->child_pointers.data(),
                     nullptr,
                     release_schema,
                     nullptr};
  out->private_data = state.release();
}

// ----------------------------------------------------------------------------
// Arrays: a struct array per table slice, a child per column chunk. Every
// array holds what its buffers point into, so a child a consumer moves out
// stays valid after its parent goes, and a column kept keeps only itself.

struct ArrayState {
  // What the buffers point into: the source for views, and the chunk's own
  // memory (a chunk buffer shares what it owns).
  std::shared_ptr<const ReadSource> source;
  ColumnChunk chunk;
  std::int64_t variadic_size = 0;
  std::array<const void*, 4> buffers{};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) noexcept {
  std::unique_ptr<ArrayState> state(static_cast<ArrayState*>(array->private_data));
  for (ArrowArray* child : state->child_pointers) {
    if (child->release != nullptr) child->release(child);
  }
  array->release = nullptr;
}

ArrowArray array_of(std::unique_ptr<ArrayState> state, int64_t length, int64_t null_count,
                    int64_t buffer_count) {
  ArrowArray array{length,
                   null_count,
                   0,
                   buffer_count,
                   static_cast<int64_t>(state->child_pointers.size()),
                   state->buffers.data(),
                   state->child_pointers.empty() ? nullptr : state->child_pointers.data(),
                   nullptr,
                   release_array,
                   nullptr};
  array.private_data = state.release();
  return array;
}

ArrowArray export_chunk(const SlicedRead& read, const SlicedColumn& column,
                        const ColumnChunk& shown) {
  auto state = std::make_unique<ArrayState>();
  state->source = read.source;
  state->chunk = shown;
  const ColumnChunk& chunk = state->chunk;
  state->variadic_size = chunk.text_block_size;
  state->buffers[0] = chunk.null_count == 0 ? nullptr : address_of(chunk.validity);
  int64_t buffer_count = 2;
  if (column.text_views) {
    // Views, one variadic buffer of texts, and that buffer's size.
    state->buffers[1] = address_of(chunk.values);
    state->buffers[2] = address_of(chunk.text_block);
    state->buffers[3] = &state->variadic_size;
    buffer_count = 4;
  } else if (is_text(column.type)) {
    state->buffers[1] = address_of(chunk.offsets);
    state->buffers[2] = address_of(chunk.values);
    buffer_count = 3;
  } else {
    state->buffers[1] = address_of(chunk.values);
  }
  return array_of(std::move(state), static_cast<int64_t>(chunk.rows),
                  static_cast<int64_t>(chunk.null_count), buffer_count);
}

void export_slice(const SlicedRead& read, std::size_t slice, ArrowArray* out) {
  const SlicedFile& file = read.file;
  auto state = std::make_unique<ArrayState>();
  state->source = read.source;
  state->children.reserve(file.columns.size());
  try {
    for (const SlicedColumn& column : file.columns) {
      state->children.push_back(export_chunk(read, column, column.chunks[slice]));
    }
  } catch (const std::bad_alloc&) {
    for (ArrowArray& child : state->children) child.release(&child);
    throw;
  }
  for (ArrowArray& child : state->children) state->child_pointers.push_back(&child);
  *out = array_of(std::move(state), static_cast<int64_t>(file.header.slice_rows[slice]), 0, 1);
}

// ----------------------------------------------------------------------------
// The stream of slices

struct StreamState {
  std::shared_ptr<const SlicedRead> read;
  std::size_t next_slice = 0;
};

StreamState& state_of(ArrowArrayStream* stream) noexcept {
  return *static_cast<StreamState*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  try {
    export_schema(state_of(stream).read->file, out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  StreamState& state = state_of(stream);
  if (state.next_slice == state.read->file.header.slice_rows.size()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_slice(*state.read, state.next_slice, out);
    ++state.next_slice;
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

const char* stream_get_last_error(ArrowArrayStream* /*stream*/) noexcept { return "out of memory"; }

void stream_release(ArrowArrayStream* stream) noexcept {
  std::unique_ptr<StreamState> state(static_cast<StreamState*>(stream->private_data));
  stream->release = nullptr;
}

constexpr const char* kStreamCapsuleName = "arrow_array_stream";

void destroy_stream_capsule(PyObject* capsule) noexcept {
  std::unique_ptr<ArrowArrayStream> stream(
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsuleName)));
  if (!stream) {
    PyErr_Clear();
    return;
  }
  // A consumer that took the stream has marked it released.
  if (stream->release != nullptr) stream->release(stream.get());
}

// ----------------------------------------------------------------------------
// vrex._reader.ArrowSource

struct ArrowSourceObject {
  PyObject_HEAD std::shared_ptr<const SlicedRead> read;
};

PyTypeObject* g_arrow_source_type = nullptr;

void arrow_source_dealloc(PyObject* self) {
  auto* source = reinterpret_cast<ArrowSourceObject*>(self);
  std::destroy_at(&source->read);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* arrow_source_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"requested_schema", nullptr};
  PyObject* requested_schema = Py_None;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(names),
                                  &requested_schema) == 0) {
    return nullptr;
  }
  // A requested schema is a wish the producer may ignore; the table has one.
  try {
    auto state = std::make_unique<StreamState>();
    state->read = reinterpret_cast<ArrowSourceObject*>(self)->read;
    auto stream = std::make_unique<ArrowArrayStream>(ArrowArrayStream{
        stream_get_schema, stream_get_next, stream_get_last_error, stream_release, nullptr});
    stream->private_data = state.release();
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsuleName, destroy_stream_capsule);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    static_cast<void>(stream.release());  // the capsule owns it now
    return capsule;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef g_arrow_source_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_source_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\n"
     "A new Arrow C stream (a PyCapsule) of the table: one record batch per table slice,\n"
     "columns named by position."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_arrow_source_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(arrow_source_dealloc)},
    {Py_tp_methods, g_arrow_source_methods},
    {Py_tp_doc, const_cast<char*>("A table read slice by slice, for Arrow.")},
    {0, nullptr},
};

PyType_Spec g_arrow_source_spec = {
    "vrex._reader.ArrowSource",
    sizeof(ArrowSourceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_arrow_source_slots,
};

}  // namespace

bool ready_arrow_source_type() {
  if (g_arrow_source_type == nullptr) {
    g_arrow_source_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_arrow_source_spec));
  }
  return g_arrow_source_type != nullptr;
}

PyObject* arrow_source(std::shared_ptr<const SlicedRead> read) {
  auto* source = PyObject_New(ArrowSourceObject, g_arrow_source_type);
  if (source == nullptr) return nullptr;
  new (&source->read) std::shared_ptr<const SlicedRead>(std::move(read));
  return reinterpret_cast<PyObject*>(source);
}

const SlicedRead* sliced_read_of(PyObject* object) {
  if (!PyObject_TypeCheck(object, g_arrow_source_type)) {
    PyErr_SetString(PyExc_TypeError, "expected a vrex._reader.ArrowSource");
    return nullptr;
  }
  return reinterpret_cast<ArrowSourceObject*>(object)->read.get();
}

}  // namespace vrex::python
