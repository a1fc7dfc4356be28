// The module as the interpreter sees it: PyInit__vrex and csv_to_vrex.
//
// This is the only file that talks to the CPython C API. Every entry runs
// behind a fault barrier, so no C++ exception ever unwinds into the
// interpreter: exhausted memory becomes MemoryError, any other internal fault
// becomes pyo3_runtime.PanicException (a BaseException), and a fault while a
// fault is being handled aborts the process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "pipeline/pipeline.h"
#include "python/py_ref.h"
#include "vrex/huge_pages.h"

namespace {

constexpr const char* kFunctionName = "csv_to_vrex";
constexpr const char* kFunctionDoc =
    "csv_to_vrex(csv_bytes, chunk_size=10000, sample_rows=1000)\n"
    "--\n"
    "\n"
    "Convert CSV bytes to VREX bytes.\n"
    "\n"
    "Args:\n"
    "    csv_bytes: Raw UTF-8 encoded CSV data (with header row).\n"
    "    chunk_size: Number of rows per VREX table slice (default 10 000).\n"
    "    sample_rows: Number of rows to sample for column type inference (default 1 000).\n"
    "\n"
    "Returns:\n"
    "    VREX file contents as bytes.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the CSV cannot be parsed or the VREX cannot be written.";

constexpr const char* kPanicDoc =
    "The exception raised when the native code of the module fails an internal check while "
    "called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it "
    "typically propagates all the way through the stack and makes the interpreter exit.";

constexpr const char* kTrapText = "uncaught panic at ffi boundary";
constexpr const char* kFaultWithoutText = "the native code of the module failed";

constexpr std::string_view kParameterNames[3] = {"csv_bytes", "chunk_size", "sample_rows"};

// Interpreter-facing bookkeeping; everything else belongs to one call.
std::atomic<std::int64_t> g_owning_interpreter{-1};
PyObject* g_cached_module = nullptr;
PyObject* g_panic_exception = nullptr;
PyObject* g_interned_name = nullptr;
PyObject* g_interned_all = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_vrex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

using vrex::python::PyRef;

// Raises `type` with `message` as its only argument.
std::nullptr_t raise_text(PyObject* type, std::string_view message) {
  PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

// The pending exception, or SystemError when the interpreter reported a
// failure without setting one.
std::nullptr_t ensure_exception() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

// ----------------------------------------------------------------------------
// Fault barrier

#ifdef VREX_FAULT_INJECTION
// Test builds only: VREX_INJECT_FAULT=1 faults inside a call, =2 faults again
// while that fault is being handled.
bool fault_injection_asked(const char* level) {
  const char* asked = std::getenv("VREX_INJECT_FAULT");
  return asked != nullptr && std::strcmp(asked, level) >= 0;
}
#endif

PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (g_panic_exception == nullptr) {
      g_panic_exception = created;
    } else {
      Py_DECREF(created);
    }
  }
  return g_panic_exception;
}

std::nullptr_t raise_panic(const char* text) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // its creation failed: that error stays pending
  return raise_text(type, text);
}

std::nullptr_t handle_fault(const char* text) noexcept {
  try {
#ifdef VREX_FAULT_INJECTION
    if (fault_injection_asked("2")) throw std::logic_error("injected fault while handling a fault");
#endif
    std::fprintf(stderr, "vrex: internal fault in native code: %s\n", text);
    return raise_panic(text);
  } catch (...) {
    std::fprintf(stderr, "%s\n", kTrapText);
    std::abort();
  }
}

template <class Body>
PyObject* behind_fault_barrier(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Clear();
    const char* text = nullptr;
    try {
      text = fault.what();
    } catch (...) {
      std::fprintf(stderr, "%s\n", kTrapText);
      std::abort();
    }
    return handle_fault(text != nullptr ? text : kFaultWithoutText);
  } catch (...) {
    PyErr_Clear();
    return handle_fault(kFaultWithoutText);
  }
}

// ----------------------------------------------------------------------------
// Argument binding and conversion

struct Arguments {
  std::span<const std::uint8_t> csv;
  std::uint64_t chunk_size = vrex::ext::kDefaultChunkSize;
  std::uint64_t sample_rows = vrex::ext::kDefaultSampleRows;
};

// Fills the three slots from positional and keyword arguments, or raises.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* slots[3]) {
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "%s() takes from 1 to 3 positional arguments but %zd were given",
                 kFunctionName, nargs);
    return false;
  }
  for (Py_ssize_t index = 0; index < nargs; ++index) slots[index] = args[index];

  Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t index = 0; index < keyword_count; ++index) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, index);
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (utf8 == nullptr) PyErr_Clear();  // unreadable: names no parameter
    int parameter = -1;
    for (int candidate = 0; utf8 != nullptr && candidate < 3; ++candidate) {
      if (kParameterNames[candidate] == std::string_view(utf8, static_cast<std::size_t>(length))) {
        parameter = candidate;
      }
    }
    if (parameter < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", kFunctionName,
                   keyword);
      return false;
    }
    if (slots[parameter] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", kFunctionName,
                   kParameterNames[parameter].data());
      return false;
    }
    slots[parameter] = args[nargs + index];
  }

  if (slots[0] == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'csv_bytes'",
                 kFunctionName);
    return false;
  }
  return true;
}

// A TypeError (exactly that type) raised while converting a parameter is
// replaced by one that names the parameter and keeps the original's cause.
void name_parameter_in_type_error(std::string_view parameter) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyRef original(raised);
  PyRef text(PyObject_Str(original.get()));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter.data(), text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(replacement.release());
}

bool convert_size(PyObject* object, std::string_view parameter, std::uint64_t* value) {
  unsigned long long converted;
  if (PyLong_Check(object)) {
    converted = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index(PyNumber_Index(object));
    if (!index) {
      name_parameter_in_type_error(parameter);
      return false;
    }
    converted = PyLong_AsUnsignedLongLong(index.get());
  }
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_parameter_in_type_error(parameter);
    return false;
  }
  *value = converted;
  return true;
}

bool convert_arguments(PyObject* const slots[3], Arguments* arguments) {
  PyObject* csv = slots[0];
  if (!PyBytes_Check(csv)) {
    PyRef qualified_name(PyType_GetQualName(Py_TYPE(csv)));
    if (!qualified_name) PyErr_Clear();
    PyRef message(
        qualified_name
            ? PyUnicode_FromFormat("argument 'csv_bytes': '%U' object cannot be converted "
                                   "to 'PyBytes'",
                                   qualified_name.get())
            : PyUnicode_FromString("argument 'csv_bytes': '<failed to extract type name>' "
                                   "object cannot be converted to 'PyBytes'"));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
  }
  arguments->csv = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(csv)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(csv))};
  if (slots[1] != nullptr && !convert_size(slots[1], kParameterNames[1], &arguments->chunk_size)) {
    return false;
  }
  if (slots[2] != nullptr && !convert_size(slots[2], kParameterNames[2], &arguments->sample_rows)) {
    return false;
  }
  return true;
}

// ----------------------------------------------------------------------------
// csv_to_vrex

// The one copy of the output into a new bytes object; exhausted memory here
// surfaces as MemoryError. Large results ask for huge pages before the copy
// first touches them.
PyObject* copy_into_bytes(const vrex::ByteBuffer& output) {
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(output.size()));
  if (result == nullptr) return nullptr;
  char* target = PyBytes_AS_STRING(result);
  vrex::advise_huge_pages(target, output.size());
  if (!output.empty()) std::memcpy(target, output.data(), output.size());
  return result;
}

// A big conversion leaves the allocator holding freed chunks in its heap;
// give them back so the process's memory returns to where it was.
void release_free_memory_after(std::size_t input_size) {
#ifdef __GLIBC__
  if (input_size >= (std::size_t{32} << 20)) malloc_trim(0);
#else
  (void)input_size;
#endif
}

PyObject* call_csv_to_vrex(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
#ifdef VREX_FAULT_INJECTION
  if (fault_injection_asked("1")) throw std::logic_error("injected fault: index out of range");
#endif
  PyObject* slots[3] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;
  Arguments arguments;
  if (!convert_arguments(slots, &arguments)) return nullptr;

  // The interpreter lock stays held: the input cannot change under us, and
  // calls from several threads run one after another.
  PyObject* result = nullptr;
  {
    auto converted =
        vrex::ext::convert_csv(arguments.csv, arguments.chunk_size, arguments.sample_rows);
    if (!converted) {
      raise_text(PyExc_ValueError, converted.error());
    } else if (converted->size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_NoMemory();
    } else {
      result = copy_into_bytes(*converted);
    }
  }
  release_free_memory_after(arguments.csv.size());
  return result;
}

PyObject* csv_to_vrex_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return behind_fault_barrier([&] { return call_csv_to_vrex(args, nargs, kwnames); });
}

PyMethodDef g_csv_to_vrex_def = {
    kFunctionName,
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(csv_to_vrex_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    kFunctionDoc,
};

// ----------------------------------------------------------------------------
// Module initialisation

PyObject* intern_once(PyObject** cell, const char* text) {
  if (*cell == nullptr) *cell = PyUnicode_InternFromString(text);
  return *cell;
}

// Adds csv_to_vrex to a fresh module and lists it in __all__.
bool add_function(PyObject* module) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function(PyCMethod_New(&g_csv_to_vrex_def, module, module_name.get(), nullptr));
  if (!function) return false;
  PyObject* name_key = intern_once(&g_interned_name, "__name__");
  PyObject* all_key = intern_once(&g_interned_all, "__all__");
  if (name_key == nullptr || all_key == nullptr) return false;
  PyRef name(PyObject_GetAttr(function.get(), name_key));
  if (!name) return false;

  PyRef all(PyObject_GetAttr(module, all_key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
  std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return ensure_exception();
  std::int64_t expected = -1;
  if (!g_owning_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "the _vrex module does not support subinterpreters: it was initialised by "
                    "another interpreter of this process");
    return nullptr;
  }
  if (g_cached_module != nullptr) return Py_NewRef(g_cached_module);

  PyRef module(PyModule_Create2(&g_module_def, 1013));
  if (!module) return ensure_exception();
  if (!add_function(module.get())) return ensure_exception();
  if (g_cached_module == nullptr) g_cached_module = module.release();
  return Py_NewRef(g_cached_module);
}

}  // namespace

PyMODINIT_FUNC PyInit__vrex() {
  return behind_fault_barrier([] { return init_module(); });
}
