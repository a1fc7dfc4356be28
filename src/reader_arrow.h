// A file read slice by slice, handed to Arrow through its C stream
// interface: one record batch per table slice, every buffer shared with the
// read, no copy and no Python call per chunk.
#pragma once

#ifndef Py_PYTHON_H
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <cstdint>
#include <memory>
#include <span>

#include "vrex/reader_slices.h"

// The structures of Arrow's C data interface, a stable ABI that consumers
// (pyarrow, polars) read as these exact layouts.
extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace vrex::python {

// Keeps the bytes a read points into alive: a mapped file or a bytes object.
class ReadSource {
 public:
  virtual ~ReadSource() = default;
};

// A sliced read and the source its views point into. Each array handed out
// holds its own chunk's buffers and the source, not the whole read, so a
// consumer that keeps some columns keeps only those (and the source).
struct SlicedRead {
  std::shared_ptr<const ReadSource> source;
  std::span<const std::uint8_t> bytes;  // the source's bytes, which `file` points into
  SlicedFile file;
};

// Creates the type; once per process, before the first object.
bool ready_arrow_source_type();

// A new vrex._reader.ArrowSource over `read`: its `__arrow_c_stream__()`
// gives a fresh stream of the table's slices each time it is called.
PyObject* arrow_source(std::shared_ptr<const SlicedRead> read);

// The read behind an ArrowSource; null with TypeError set for anything else.
const SlicedRead* sliced_read_of(PyObject* object);

}  // namespace vrex::python
