// matmul(a, v) with a 1-D v: one dot product in the layer's order per row of
// a, so that matmul(a, v)[i] == dot(a[i], v) bit for bit.
#include "ffi/native/matvec.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "backend/processor_count.hpp"
#include "ffi/native/layer.hpp"
#include "ffi/native/out_checks.hpp"
#include "ffi/native/results.hpp"
#include "ops/layer_matvec.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

PyObject* matmul_vector(const View& a, const View& v, PyObject* out_object) {
  const int ndim = a.ndim - 1;
  const std::int64_t k = a.shape[ndim];
  if (v.shape[0] != k) {
    fail(PyExc_ValueError, "b",
         "expected " + std::to_string(k) + " rows (the columns of 'a'), got " + std::to_string(v.shape[0]));
  }
  View out;
  std::optional<Result> result;
  float* target;
  if (out_object != nullptr) {
    read_out(out_object, out, a.shape, ndim);
    target = reinterpret_cast<float*>(out.data);
  } else {
    result.emplace(a, a.shape, ndim);
    target = result->data();
  }
  const ops::ViewWalk rows(a.data, ndim, a.shape, a.strides);
  const std::uint64_t size = rows.size();
  std::unique_ptr<float[]> temporary;  // when `out` shares memory with an operand
  float* product = target;
  if (out_object != nullptr && (overlap(out, a) || overlap(out, v))) {
    temporary.reset(new float[size]);
    product = temporary.get();
  }
  if (size != 0) {
    // A vector that is not contiguous is read once into a copy: the same values.
    std::unique_ptr<char[]> v_copy;
    const std::int64_t v_stride = 4;
    const ops::ViewWalk vector(v.contiguous_data(v_copy), 1, v.shape, &v_stride);
    const ops::ViewWalk row(a.data, 1, &a.shape[ndim], &a.strides[ndim]);
    const std::uint64_t work = size * static_cast<std::uint64_t>(k);
    WithoutGil unlocked(work >= kReleaseGilMultiplyAdds);
    profiler::ProfileScope scope(profiler::global_profiler(), "matmul_2d", "CPU", work);
    ops::layer_matvec_f32(rows, row, vector, product, backend::processor_count());
  }
  if (product != target) std::copy(product, product + size, target);
  return out_object != nullptr ? Py_NewRef(out_object) : result->release();
}

}  // namespace zoltra::native
