// The module vrex._engine as the interpreter sees it: the conversion on all
// cores, into a bytes object or an open file. The vrex package wraps it
// (vrex.convert, vrex.convert_file) and checks the arguments it can check in
// Python; this file is the only one of the module that talks to the C API.
//
// The staged entries (table_start ... convert_part) let a cluster run the
// conversion's stages on different machines; their arguments and results
// are plain numbers and bytes.
//
// The interpreter lock is released while the engine works. The input is held
// as a buffer for the whole call, so it cannot go away underneath; writable
// buffers are refused, since their bytes could change between the passes
// that read them. The result grows inside a bytes object; growing it takes
// the lock back for a moment, on the calling thread. Now and then the calling
// thread also takes the lock to report progress and to check for signals, so
// Ctrl-C stops a long conversion.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "memory_policy.h"
#include "parallel/parallel_convert.h"
#include "parallel/staged_convert.h"
#include "python/fault_barrier.h"
#include "python/py_ref.h"
#include "result_bytes.h"

namespace {

using vrex::ext::ConvertFailure;

// A buffer held from the start of a call to its end.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with TypeError (or BufferError) raised when `object` offers no
  // read-only contiguous buffer.
  bool hold(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    if (!view_.readonly) {
      PyErr_Format(PyExc_TypeError,
                   "data must be bytes or a read-only buffer, not a writable '%.200s' (its "
                   "bytes could change while they are converted; pass bytes(data))",
                   Py_TYPE(object)->tp_name);
      return false;
    }
    return true;
  }

  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The interpreter lock released for a scope; take() and give() bracket the
// moments in between that need it.
class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}

  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  ~LockReleased() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

  // Holds the lock while `body` runs (exceptions included).
  template <class Body>
  auto with_lock(Body&& body) {
    struct Retake {
      PyThreadState** state;

      ~Retake() { *state = PyEval_SaveThread(); }
    };

    PyEval_RestoreThread(state_);
    state_ = nullptr;
    Retake retake{&state_};
    return body();
  }

 private:
  PyThreadState* state_;
};

// A bytes object that grows with the output, taking the lock to do so.
class LockedResultStorage final : public vrex::ByteStorage {
 public:
  explicit LockedResultStorage(vrex::ext::ResultBytes& result) : result_(&result) {}

  void release_lock(LockReleased* released) noexcept { released_ = released; }

  std::uint8_t* grow(std::size_t kept, std::size_t capacity) override {
    if (released_ == nullptr) return result_->grow(kept, capacity);
    return released_->with_lock([&] { return result_->grow(kept, capacity); });
  }

 private:
  vrex::ext::ResultBytes* result_;
  LockReleased* released_ = nullptr;
};

// Tells the memory policy a conversion is over, on every way out of the
// call, so that conversions that follow each other get huge pages.
struct ConversionEnd {
  const vrex::ByteBuffer* output;

  ~ConversionEnd() {
    vrex::ext::after_parallel_conversion(output != nullptr ? output->capacity() : 0);
  }
};

bool read_size(PyObject* object, std::uint64_t* value) {
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) return false;
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *value = converted;
  return true;
}

struct CallArguments {
  PyObject* data = nullptr;
  vrex::ext::ParallelOptions options;
  PyObject* progress = Py_None;
};

bool read_options(PyObject* chunk_size, PyObject* sample_rows, unsigned long long threads,
                  unsigned long long part_size, vrex::ext::ParallelOptions* options) {
  if (!read_size(chunk_size, &options->chunk_size) ||
      !read_size(sample_rows, &options->sample_rows)) {
    return false;
  }
  if (threads == 0 || threads > 4096 || part_size == 0) {
    PyErr_SetString(PyExc_ValueError, "threads and part_size must be at least 1");
    return false;
  }
  options->threads = static_cast<unsigned>(threads);
  options->part_size = static_cast<std::size_t>(part_size);
  return true;
}

// Runs the engine with the lock released; progress and signals are looked at
// with the lock taken back. Returns false with an exception raised.
bool run_engine(std::span<const std::uint8_t> csv, const vrex::ext::ParallelOptions& options,
                vrex::ext::OutputSink& sink, PyObject* progress, LockedResultStorage* storage) {
  bool python_failed = false;
  vrex::Status<ConvertFailure> outcome;
  {
    LockReleased released;
    if (storage != nullptr) storage->release_lock(&released);
    auto check = [&](std::uint64_t done, std::uint64_t total) {
      return released.with_lock([&] {
        if (progress != Py_None) {
          PyObject* returned =
              PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(done),
                                    static_cast<unsigned long long>(total));
          if (returned == nullptr) {
            python_failed = true;
            return false;
          }
          Py_DECREF(returned);
        }
        if (PyErr_CheckSignals() < 0) {
          python_failed = true;
          return false;
        }
        return true;
      });
    };
    try {
      outcome = vrex::ext::convert_csv_parallel(csv, options, sink, check);
    } catch (...) {
      if (storage != nullptr) storage->release_lock(nullptr);
      throw;  // the lock is taken back on the way out
    }
    if (storage != nullptr) storage->release_lock(nullptr);
  }
  if (outcome) return true;
  const ConvertFailure& failure = outcome.error();
  switch (failure.kind) {
    case ConvertFailure::Kind::Conversion: {
      PyObject* text = PyUnicode_DecodeUTF8(
          failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()), "replace");
      if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
      }
      return false;
    }
    case ConvertFailure::Kind::Output:
      errno = failure.os_error;
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    case ConvertFailure::Kind::Stopped:
      if (!python_failed || !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "the conversion stopped without a reason");
      }
      return false;
  }
  return false;
}

PyObject* convert_entry(PyObject* /*module*/, PyObject* args) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    PyObject *data, *chunk_size, *sample_rows, *progress;
    unsigned long long threads, part_size;
    if (!PyArg_ParseTuple(args, "OOOKKO:convert", &data, &chunk_size, &sample_rows, &threads,
                          &part_size, &progress)) {
      return nullptr;
    }
    vrex::ext::ParallelOptions options;
    if (!read_options(chunk_size, sample_rows, threads, part_size, &options)) return nullptr;
    HeldBuffer input;
    if (!input.hold(data)) return nullptr;
    vrex::ext::conversion_begins();
    vrex::ext::ResultBytes result;
    LockedResultStorage storage(result);
    vrex::ByteBuffer output(storage);
    const ConversionEnd end{&output};
    // Room for twice the input's size (up to 256 MiB; beyond, the block grows
    // by remapping), so workers can write their slices without the calling
    // thread and an output larger than its input does not move: a block that
    // moves loses its huge pages. Untouched pages cost no memory.
    output.reserve(std::clamp<std::size_t>(2 * input.bytes().size(), 4096, std::size_t{256} << 20));
    options.result_faults = vrex::ext::result_on_huge_pages()
                                ? vrex::ext::ResultFaults::AheadOnCallingThread
                                : vrex::ext::ResultFaults::AsWritten;
    vrex::ext::BufferSink sink(output);
    if (!run_engine(input.bytes(), options, sink, progress, &storage)) return nullptr;
    return result.finish(output.size());
  });
}

PyObject* convert_to_file_entry(PyObject* /*module*/, PyObject* args) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    PyObject *data, *chunk_size, *sample_rows, *progress;
    int descriptor;
    unsigned long long threads, part_size;
    if (!PyArg_ParseTuple(args, "OiOOKKO:convert_to_file", &data, &descriptor, &chunk_size,
                          &sample_rows, &threads, &part_size, &progress)) {
      return nullptr;
    }
    vrex::ext::ParallelOptions options;
    if (!read_options(chunk_size, sample_rows, threads, part_size, &options)) return nullptr;
    HeldBuffer input;
    if (!input.hold(data)) return nullptr;
    vrex::ext::FileSink sink(descriptor);
    if (!run_engine(input.bytes(), options, sink, progress, nullptr)) return nullptr;
    Py_RETURN_NONE;
  });
}

// --- the staged conversion, for a cluster ----------------------------------

using vrex::python::PyRef;

// Raises the exception a staged step's failure stands for; returns nullptr.
PyObject* raise_failure(const ConvertFailure& failure) {
  if (failure.kind == ConvertFailure::Kind::Output) {
    errno = failure.os_error;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  PyRef text(PyUnicode_DecodeUTF8(failure.message.data(),
                                  static_cast<Py_ssize_t>(failure.message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* bytes_object(std::span<const std::uint8_t> bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* table_start_entry(PyObject* /*module*/, PyObject* args) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    PyObject *data, *chunk_size_object, *sample_rows_object;
    if (!PyArg_ParseTuple(args, "OOO:table_start", &data, &chunk_size_object,
                          &sample_rows_object)) {
      return nullptr;
    }
    std::uint64_t chunk_size, sample_rows;
    if (!read_size(chunk_size_object, &chunk_size) ||
        !read_size(sample_rows_object, &sample_rows)) {
      return nullptr;
    }
    HeldBuffer input;
    if (!input.hold(data)) return nullptr;
    auto start = [&] {
      const LockReleased released;
      return vrex::ext::convert_table_start(input.bytes(), chunk_size, sample_rows);
    }();
    if (!start)
      return raise_failure(ConvertFailure{ConvertFailure::Kind::Conversion, start.error()});
    PyRef bytes(bytes_object(start->bytes.bytes()));
    PyRef types(bytes_object(vrex::ext::types_to_bytes(start->types)));
    if (!bytes || !types) return nullptr;
    return Py_BuildValue(
        "(OOKKKO)", bytes.get(), types.get(), static_cast<unsigned long long>(start->rest.byte),
        static_cast<unsigned long long>(start->rest.line),
        static_cast<unsigned long long>(start->first_row), start->complete ? Py_True : Py_False);
  });
}

PyObject* table_end_entry(PyObject* /*module*/, PyObject* /*args*/) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    auto end = vrex::ext::table_end_bytes();
    if (!end) return raise_failure(ConvertFailure{ConvertFailure::Kind::Conversion, end.error()});
    return bytes_object(end->bytes());
  });
}

PyObject* summarize_stretch_entry(PyObject* /*module*/, PyObject* args) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    PyObject* data;
    unsigned long long begin, end;
    if (!PyArg_ParseTuple(args, "OKK:summarize_stretch", &data, &begin, &end)) return nullptr;
    HeldBuffer input;
    if (!input.hold(data)) return nullptr;
    if (begin > end || end > input.bytes().size()) {
      PyErr_SetString(PyExc_ValueError, "the stretch lies outside the input");
      return nullptr;
    }
    std::array<std::uint8_t, vrex::ext::kStretchSummaryBytes> encoded;
    {
      LockReleased released;
      const auto stretch = input.bytes().subspan(static_cast<std::size_t>(begin),
                                                 static_cast<std::size_t>(end - begin));
      encoded = vrex::ext::encode_stretch_summary(vrex::ext::summarize_stretch(stretch));
    }
    return bytes_object(encoded);
  });
}

PyObject* join_stretches_entry(PyObject* /*module*/, PyObject* args) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    unsigned long long rest_byte, rest_line, first_row, input_size, stretch_size, chunk_size;
    PyObject* summaries_object;
    if (!PyArg_ParseTuple(args, "KKKKKKO:join_stretches", &rest_byte, &rest_line, &first_row,
                          &input_size, &stretch_size, &chunk_size, &summaries_object)) {
      return nullptr;
    }
    PyRef sequence(PySequence_Fast(summaries_object, "summaries must be a sequence of bytes"));
    if (!sequence) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    std::vector<vrex::ext::StretchSummary> summaries;
    summaries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
      HeldBuffer encoded;
      if (!encoded.hold(PySequence_Fast_GET_ITEM(sequence.get(), index))) return nullptr;
      auto summary = vrex::ext::decode_stretch_summary(encoded.bytes());
      if (!summary) {
        PyErr_SetString(PyExc_ValueError, "not a stretch summary");
        return nullptr;
      }
      summaries.push_back(*summary);
    }
    auto joined =
        vrex::ext::join_stretches(vrex::ext::CsvPosition{rest_byte, rest_line, first_row + 1},
                                  first_row, input_size, stretch_size, chunk_size, summaries);
    if (!joined) {
      PyErr_SetString(PyExc_ValueError, joined.error().c_str());
      return nullptr;
    }
    PyRef jobs(PyList_New(static_cast<Py_ssize_t>(joined->jobs.size())));
    if (!jobs) return nullptr;
    for (std::size_t index = 0; index < joined->jobs.size(); ++index) {
      const vrex::ext::PartJob& job = joined->jobs[index];
      PyObject* numbers = Py_BuildValue("(KKKKKK)", static_cast<unsigned long long>(job.part.begin),
                                        static_cast<unsigned long long>(job.part.end),
                                        static_cast<unsigned long long>(job.part.first_line),
                                        static_cast<unsigned long long>(job.part.first_row),
                                        static_cast<unsigned long long>(job.first_chunk_row),
                                        static_cast<unsigned long long>(job.chunk_count));
      if (numbers == nullptr) return nullptr;
      PyList_SET_ITEM(jobs.get(), static_cast<Py_ssize_t>(index), numbers);
    }
    return Py_BuildValue("(OK)", jobs.get(), static_cast<unsigned long long>(joined->end_row));
  });
}

PyObject* convert_part_entry(PyObject* /*module*/, PyObject* args) noexcept {
  return vrex::python::behind_fault_barrier([&]() -> PyObject* {
    PyObject *data, *types_object;
    int descriptor;
    unsigned long long chunk_size, begin, end, first_line, first_row, first_chunk_row, chunk_count,
        end_row;
    if (!PyArg_ParseTuple(args, "OiOK(KKKKKK)K:convert_part", &data, &descriptor, &types_object,
                          &chunk_size, &begin, &end, &first_line, &first_row, &first_chunk_row,
                          &chunk_count, &end_row)) {
      return nullptr;
    }
    HeldBuffer types_bytes;
    if (!types_bytes.hold(types_object)) return nullptr;
    auto types = vrex::ext::types_from_bytes(types_bytes.bytes());
    if (!types) {
      PyErr_SetString(PyExc_ValueError, "types must hold one known type byte a column");
      return nullptr;
    }
    HeldBuffer input;
    if (!input.hold(data)) return nullptr;
    const vrex::ext::PartJob job{vrex::ext::Part{begin, end, first_row + 1, first_line, first_row},
                                 first_chunk_row, chunk_count, end_row};
    vrex::ext::FileSink sink(descriptor);
    vrex::Status<ConvertFailure> outcome;
    {
      LockReleased released;
      outcome = vrex::ext::convert_part(input.bytes(), *types, chunk_size, job, sink);
    }
    if (!outcome) return raise_failure(outcome.error());
    Py_RETURN_NONE;
  });
}

PyMethodDef g_methods[] = {
    {"convert", convert_entry, METH_VARARGS,
     "convert(data, chunk_size, sample_rows, threads, part_size, progress) -> bytes"},
    {"convert_to_file", convert_to_file_entry, METH_VARARGS,
     "convert_to_file(data, fd, chunk_size, sample_rows, threads, part_size, progress)"},
    {"table_start", table_start_entry, METH_VARARGS,
     "table_start(data, chunk_size, sample_rows) -> (start, types, rest_byte, rest_line, "
     "first_row, complete)"},
    {"table_end", table_end_entry, METH_NOARGS, "table_end() -> bytes"},
    {"summarize_stretch", summarize_stretch_entry, METH_VARARGS,
     "summarize_stretch(data, begin, end) -> bytes"},
    {"join_stretches", join_stretches_entry, METH_VARARGS,
     "join_stretches(rest_byte, rest_line, first_row, input_size, stretch_size, chunk_size, "
     "summaries) -> (jobs, end_row)"},
    {"convert_part", convert_part_entry, METH_VARARGS,
     "convert_part(data, fd, types, chunk_size, job, end_row)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "vrex._engine",
    "The conversion on all cores.",
    -1,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine() {
  PyObject* module = PyModule_Create(&g_module);
  if (module == nullptr) return nullptr;
  if (PyModule_AddIntConstant(module, "DEFAULT_PART_SIZE",
                              static_cast<long>(vrex::ext::kDefaultPartSize)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
