// The module as the interpreter sees it: PyInit__vrex and csv_to_vrex.
//
// This file, result_bytes.cpp (the result, written in place) and the shared
// helpers under python/ are the ones of _vrex that talk to the CPython C API.
// Every entry runs behind the fault barrier that both extension modules share
// (python/fault_barrier.h), so no C++ exception ever unwinds into the
// interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

#include "memory_policy.h"
#include "pipeline/pipeline.h"
#include "python/fault_barrier.h"
#include "python/py_ref.h"
#include "result_bytes.h"

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

constexpr std::string_view kParameterNames[3] = {"csv_bytes", "chunk_size", "sample_rows"};

// Interpreter-facing bookkeeping; everything else belongs to one call.
std::atomic<std::int64_t> g_owning_interpreter{-1};
PyObject* g_cached_module = nullptr;
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

// Tells the memory policy a conversion is over, on every way out of the call
// (exhausted memory included), after the pipeline's own buffers are released.
struct CallEnd {
  std::size_t input_size;
  const vrex::ByteBuffer& output;

  ~CallEnd() { vrex::ext::after_conversion(input_size, output.capacity()); }
};

PyObject* call_csv_to_vrex(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vrex::python::inject_fault_if_asked();
  PyObject* slots[3] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;
  Arguments arguments;
  if (!convert_arguments(slots, &arguments)) return nullptr;

  // The interpreter lock stays held: the input cannot change under us, calls
  // from several threads run one after another, and the result object can be
  // created and resized as the output grows.
  vrex::ext::conversion_begins();
  vrex::ext::ResultBytes result_bytes;
  vrex::ByteBuffer output(result_bytes);
  const CallEnd call_end{arguments.csv.size(), output};
  auto converted =
      vrex::ext::convert_csv(arguments.csv, arguments.chunk_size, arguments.sample_rows, output);
  if (!converted) return raise_text(PyExc_ValueError, converted.error());
  return result_bytes.finish(output.size());
}

PyObject* csv_to_vrex_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return vrex::python::behind_fault_barrier([&] { return call_csv_to_vrex(args, nargs, kwnames); });
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
  return vrex::python::behind_fault_barrier([] { return init_module(); });
}
