// maximum, minimum: their method records; the bodies are the broadcasting
// element-wise ones of broadcast.cpp.
#include "ffi/native/broadcast.hpp"
#include "ffi/native/layer.hpp"

namespace zoltra::native {

namespace {

constexpr Param kParams[] = {{"a"}, {"b"}, {"out", true}};

constexpr Signature maximum_signature{"maximum", kParams};
PyObject* maximum_body(PyObject* const* args) { return broadcast_elementwise(args, "maximum", ops::BinaryOp::kMaximum); }
constexpr Signature minimum_signature{"minimum", kParams};
PyObject* minimum_body(PyObject* const* args) { return broadcast_elementwise(args, "minimum", ops::BinaryOp::kMinimum); }

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(maximum, maximum_body,
                         "maximum(a, b, out=None)\n--\n\n"
                         "The larger of ``a`` and ``b`` element by element, IEEE 754-2019's maximum:\n"
                         "NaN when either is NaN, and +0.0 above -0.0. Arguments, broadcasting,\n"
                         "`out` and result as for add().\n\n"
                         "    zn.maximum(x, 0.0)  # ReLU"),
    ZOLTRA_NATIVE_METHOD(minimum, minimum_body,
                         "minimum(a, b, out=None)\n--\n\n"
                         "The smaller of ``a`` and ``b`` element by element, IEEE 754-2019's minimum:\n"
                         "NaN when either is NaN, and -0.0 below +0.0. Arguments, broadcasting,\n"
                         "`out` and result as for add().\n\n"
                         "    zn.minimum(x, 6.0)"),
};

}  // namespace

std::span<const PyMethodDef> extremum_methods() { return kMethods; }

}  // namespace zoltra::native
