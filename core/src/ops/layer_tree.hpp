#pragma once
// The fixed tree over the layer's block values: T(i..j) = T(i..i+h) +
// T(i+h..j), h the largest power of two below j - i; leaves are evaluated in
// increasing order, so a leaf may reuse what the one before it read.
#include <bit>
#include <cstdint>

namespace zoltra::ops {

template <class Leaf, class Combine>
auto layer_tree(std::uint64_t i, std::uint64_t j, Leaf& leaf, Combine& combine) -> decltype(leaf(i)) {
  if (j - i == 1) return leaf(i);
  const std::uint64_t h = std::bit_floor(j - i - 1);
  auto left = layer_tree(i, i + h, leaf, combine);
  return combine(left, layer_tree(i + h, j, leaf, combine));
}

}  // namespace zoltra::ops
