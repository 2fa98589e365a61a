// What zoltra_native.profile reads from the profiler: marks in the event
// store, the events between two marks one by one, their report, and the
// switch and context that a block restores when it ends.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "ffi/native/layer.hpp"
#include "ffi/python/ref.hpp"
#include "profiler/core.hpp"
#include "profiler/metrics.hpp"
#include "profiler/session_id.hpp"

namespace zoltra::native {

namespace {

namespace zp = zoltra::profiler;

PyObject* text_or_none(const std::optional<std::string>& text) {
  if (!text) return Py_NewRef(Py_None);
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}


PyObject* profile_mark(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(zp::global_profiler().mark()); }

PyObject* profiling_enabled(PyObject*, PyObject*) { return PyBool_FromLong(zp::global_profiler().enabled()); }

PyObject* profile_context(PyObject*, PyObject*) { return text_or_none(zp::profile_context()); }

void check_count(const char* function, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs == want) return;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function, want, nargs);
  throw ffi::HostError{};
}

std::uint64_t read_mark(PyObject* object) {
  const unsigned long long mark = PyLong_AsUnsignedLongLong(object);
  if (PyErr_Occurred()) throw ffi::HostError{};
  return mark;
}

PyObject* text(const std::string& value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

// A tuple of new references; nullptr (and the error set) if any is nullptr.
template <class... Items>
PyObject* tuple_of(Items... items) {
  PyObject* all[] = {items...};
  PyObject* tuple = std::find(std::begin(all), std::end(all), nullptr) == std::end(all)
                        ? PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items)))
                        : nullptr;
  for (std::size_t i = 0; i < sizeof...(Items); ++i) {
    if (tuple) {
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), all[i]);
    } else {
      Py_XDECREF(all[i]);
    }
  }
  return tuple;
}

PyObject* event_tuple(const zp::OperationEvent& e) {
  const auto u64 = [](std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); };
  PyObject* product = Py_NewRef(Py_None);
  if (e.product.path != zp::ProductPath::kNone) {
    const zp::ProductRun& p = e.product;
    Py_DECREF(product);
    product = tuple_of(PyUnicode_FromString(zp::product_path_name(p.path)), u64(p.m), u64(p.k), u64(p.n),
                       u64(p.chunks), u64(p.kernel_chunks), u64(p.rows_per_chunk), u64(p.kernel_lanes));
  }
  return tuple_of(text(e.operation), text(e.backend), text_or_none(e.context), u64(e.size), u64(e.start_us),
                  u64(e.end_us), u64(e.thread), PyLong_FromLong(e.os_thread), product);
}

// The events numbered first to last - 1 that the store still holds, as
// tuples (operation, backend, context, size, start_us, end_us, thread,
// os_thread, product); product is None, or for a matrix product (path, m, k,
// n, chunks, kernel_chunks, rows_per_chunk, kernel_lanes).
PyObject* profile_events(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return ffi::call_boundary([&]() -> PyObject* {
    check_count("profile_events", nargs, 2);
    const std::vector<zp::OperationEvent> events =
        zp::global_profiler().events_between(read_mark(args[0]), read_mark(args[1]));
    ffi::Ref list(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) throw ffi::HostError{};
    for (std::size_t i = 0; i < events.size(); ++i) {
      PyObject* item = event_tuple(events[i]);
      if (!item) throw ffi::HostError{};
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

std::optional<std::string> optional_text(PyObject* object, const char* name) {
  if (object == Py_None) return std::nullopt;
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or None", name);
    throw ffi::HostError{};
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (!text) throw ffi::HostError{};
  return std::string(text, static_cast<std::size_t>(size));
}

// The JSON report of the events numbered first to last - 1 whose context is
// one of `contexts` (a tuple of str; None takes every event), with `context`
// in its header.
PyObject* profile_report(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return ffi::call_boundary([&]() -> PyObject* {
    check_count("profile_report", nargs, 4);
    const std::uint64_t first = read_mark(args[0]), last = read_mark(args[1]);
    const bool every_context = args[2] == Py_None;
    std::vector<std::string> contexts;
    if (!every_context) {
      if (!PyTuple_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "argument 'contexts': expected a tuple of str or None");
        throw ffi::HostError{};
      }
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[2]); ++i)
        if (auto text = optional_text(PyTuple_GET_ITEM(args[2], i), "contexts")) contexts.push_back(std::move(*text));
    }
    std::optional<std::string> context = optional_text(args[3], "context");

    zp::SessionMetadata metadata;
    try {
      metadata = zp::SessionMetadata::create(std::nullopt);
    } catch (const zp::RandomSourceError& error) {
      ffi::throw_runtime_error(error.what());
    }
    std::vector<zp::OperationEvent> events = zp::global_profiler().events_between(first, last);
    if (!every_context) {
      std::erase_if(events, [&](const zp::OperationEvent& e) {
        return !e.context || std::find(contexts.begin(), contexts.end(), *e.context) == contexts.end();
      });
    }
    zp::ProfileReport report = zp::ProfileReport::from_events(events, std::nullopt, std::move(metadata));
    report.metadata.context = std::move(context);
    std::string json;
    try {
      json = report.to_json();
    } catch (const std::exception& error) {
      ffi::throw_runtime_error(std::string("JSON serialization failed: ") + error.what());
    }
    return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
  });
}

template <auto Function>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

const PyMethodDef kMethods[] = {
    {"profile_mark", profile_mark, METH_NOARGS, "The sequence number that the next profiled event will get."},
    {"profile_events", fastcall<profile_events>(), METH_FASTCALL,
     "profile_events(first, last): the stored events numbered first to last - 1, as tuples."},
    {"profile_report", fastcall<profile_report>(), METH_FASTCALL,
     "profile_report(first, last, contexts, context): the JSON report of those events."},
    {"profiling_enabled", profiling_enabled, METH_NOARGS, "Whether ending profiled calls are recorded."},
    {"profile_context", profile_context, METH_NOARGS, "The calling thread's profiling context, or None."},
};

}  // namespace

std::span<const PyMethodDef> profile_methods() { return kMethods; }

}  // namespace zoltra::native
