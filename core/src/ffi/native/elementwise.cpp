// add, sub, mul, div: their method records; the bodies, with broadcasting
// and scalars, are in broadcast.cpp.
#include "ffi/native/broadcast.hpp"
#include "ffi/native/layer.hpp"

namespace zoltra::native {

namespace {

constexpr Param kParams[] = {{"a"}, {"b"}, {"out", true}};

constexpr Signature add_signature{"add", kParams};
PyObject* add_body(PyObject* const* args) { return broadcast_elementwise(args, "add", ops::BinaryOp::kAdd); }
constexpr Signature sub_signature{"sub", kParams};
PyObject* sub_body(PyObject* const* args) { return broadcast_elementwise(args, "sub", ops::BinaryOp::kSub); }
constexpr Signature mul_signature{"mul", kParams};
PyObject* mul_body(PyObject* const* args) { return broadcast_elementwise(args, "mul", ops::BinaryOp::kMul); }
constexpr Signature div_signature{"div", kParams};
PyObject* div_body(PyObject* const* args) { return broadcast_elementwise(args, "div", ops::BinaryOp::kDiv); }

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(add, add_body,
                         "add(a, b, out=None)\n--\n\n"
                         "``a + b`` element by element, as float32, with NumPy's broadcasting.\n\n"
                         "`a` and `b` are float32 arrays, or real Python or NumPy scalars rounded to\n"
                         "float32 (to nearest, as NumPy 2 does for a Python float with a float32\n"
                         "array); at least one is an array. Their shapes broadcast as in NumPy, and\n"
                         "views of any strides, broadcast ones included, are read where they lie.\n"
                         "Each element is the one correctly rounded operation, NumPy's float32 bits.\n"
                         "Without `out` the result is a new array of the broadcast shape and of the\n"
                         "kind of the first array operand; `out` must be a writable C-contiguous\n"
                         "float32 array of that shape, either apart from the operands or the very\n"
                         "same buffer as one of them (in place). Returns the result.\n\n"
                         "    zn.mul(grad, 0.01); zn.add(x, x[0]); zn.sub(x, zn.mean(x, axis=1, keepdims=True))"),
    ZOLTRA_NATIVE_METHOD(sub, sub_body,
                         "sub(a, b, out=None)\n--\n\n"
                         "``a - b`` element by element; arguments and result as for add()."),
    ZOLTRA_NATIVE_METHOD(mul, mul_body,
                         "mul(a, b, out=None)\n--\n\n"
                         "``a * b`` element by element; arguments and result as for add()."),
    ZOLTRA_NATIVE_METHOD(div, div_body,
                         "div(a, b, out=None)\n--\n\n"
                         "``a / b`` element by element (IEEE division); arguments and result as for add()."),
};

}  // namespace

std::span<const PyMethodDef> elementwise_methods() { return kMethods; }

}  // namespace zoltra::native
