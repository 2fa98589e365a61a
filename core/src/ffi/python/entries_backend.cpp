// set_backend_policy, get_backend_policy, explain_last_dispatch.
#include "backend/dispatch.hpp"
#include "ffi/python/entry.hpp"

namespace zoltra::ffi {

namespace {

PyObject* set_backend_policy_body(std::uint8_t policy) {
  backend::set_policy_from_python(policy);
  return result_none();
}
ZOLTRA_SIGNATURE(set_backend_policy, {"policy"});

PyObject* get_backend_policy_body() { return result_int(backend::current_policy()); }

PyObject* explain_last_dispatch_body() { return result_text(backend::get_last_dispatch()); }

}  // namespace

ZOLTRA_FASTCALL_ENTRY(set_backend_policy);
ZOLTRA_NOARGS_ENTRY(get_backend_policy, nullptr);
ZOLTRA_NOARGS_ENTRY(explain_last_dispatch, nullptr);

}  // namespace zoltra::ffi
