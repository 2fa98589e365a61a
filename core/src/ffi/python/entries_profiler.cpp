// enable_profiling, disable_profiling, clear_profile, set_profile_context,
// get_profile_report.
#include <optional>
#include <string>

#include "ffi/python/entry.hpp"
#include "profiler/core.hpp"

namespace zoltra::ffi {

namespace {

using OptionalText = std::optional<std::string>;

PyObject* enable_profiling_body() {
  profiler::global_profiler().set_enabled(true);
  return result_none();
}

PyObject* disable_profiling_body() {
  profiler::global_profiler().set_enabled(false);
  return result_none();
}

PyObject* clear_profile_body() {
  profiler::global_profiler().clear();
  return result_none();
}

PyObject* set_profile_context_body(OptionalText context) {
  profiler::set_profile_context(std::move(context));
  return result_none();
}
ZOLTRA_SIGNATURE(set_profile_context, {"context", true});

PyObject* get_profile_report_body(OptionalText context) {
  profiler::Profiler::Export report = profiler::global_profiler().export_json(context);
  if (!report.ok) throw_runtime_error(std::move(report.text));
  return result_text(report.text);
}
ZOLTRA_SIGNATURE(get_profile_report, {"context", true});

}  // namespace

ZOLTRA_NOARGS_ENTRY(enable_profiling, nullptr);
ZOLTRA_NOARGS_ENTRY(disable_profiling, nullptr);
ZOLTRA_NOARGS_ENTRY(clear_profile, nullptr);
ZOLTRA_FASTCALL_ENTRY(set_profile_context);
ZOLTRA_FASTCALL_ENTRY(get_profile_report);

}  // namespace zoltra::ffi
