// where(condition, a, b, out=None): a bool condition and two float32
// operands (arrays or real scalars), all three broadcast together.
#include <cstdint>

#include "ffi/native/broadcast.hpp"
#include "ffi/native/layer.hpp"
#include "ops/compare.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

constexpr Param kParams[] = {{"condition"}, {"a"}, {"b"}, {"out", true}};
constexpr Signature where_signature{"where", kParams};

PyObject* where_body(PyObject* const* args) {
  Operand condition, a, b;
  read_operand(args[0], "condition", condition, DType::kBool);
  read_operand(args[1], "a", a);
  read_operand(args[2], "b", b);
  Operand* operands[] = {&condition, &a, &b};
  const char* names[] = {"condition", "a", "b"};
  std::int64_t shape[kMaxDims];
  const int ndim = broadcast_operands(operands, names, 3, shape);
  FloatTarget target(args[3], shape, ndim, operands, 3);
  std::uint64_t count = 1;
  for (int d = 0; d < ndim; ++d) count *= static_cast<std::uint64_t>(shape[d]);
  if (count != 0) {
    WithoutGil unlocked(count >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), "where", "CPU", count);
    ops::where_f32_cpu(static_cast<std::uint64_t>(ndim), shape,
                       reinterpret_cast<const std::uint8_t*>(condition.data()), condition.strides,
                       reinterpret_cast<const float*>(a.data()), a.strides, reinterpret_cast<const float*>(b.data()),
                       b.strides, target.data(), target.strides());
  }
  return target.release();
}

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(where, where_body,
                         "where(condition, a, b, out=None)\n--\n\n"
                         "``a`` where `condition` is true, ``b`` elsewhere, element by element:\n"
                         "NumPy's where. `condition` is a bool array (any non-zero byte is true);\n"
                         "`a` and `b` are float32 arrays or real scalars rounded to float32; all\n"
                         "three broadcast together and are read where they lie. The chosen\n"
                         "elements are copied bit for bit. Without `out` the result is a new\n"
                         "float32 array of the broadcast shape and of the kind of `condition`;\n"
                         "`out` as for add(). Returns the result.\n\n"
                         "    zn.where(zn.greater(x, 0.0), grad, 0.0)  # the ReLU's backward step"),
};

}  // namespace

std::span<const PyMethodDef> where_methods() { return kMethods; }

}  // namespace zoltra::native
