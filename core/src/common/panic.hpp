#pragma once
// An internal abort: a broken invariant that ends the current Python call with
// PanicException. Thrown by library code, caught only at the Python boundary.
#include <source_location>
#include <stdexcept>
#include <string>

namespace zoltra {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace zoltra
