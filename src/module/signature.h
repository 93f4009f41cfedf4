// What one callable entry accepts: class, method and parameter names. The
// argument slots are a fixed array, so a signature must fit it to compile.
#pragma once

#include <cstddef>
#include <span>

namespace tessara::py {

inline constexpr size_t kMaxParameters = 8;

struct SignatureSpec {
  // Made only at compile time, from a parameter array no longer than the
  // slots; `required` cannot exceed the parameters either.
  template <size_t N>
    requires(N <= kMaxParameters)
  consteval SignatureSpec(const char* class_name_, const char* method_name_,
                          const char* const (&parameters_)[N], size_t required_)
      : class_name(class_name_),
        method_name(method_name_),
        parameters(parameters_),
        required(required_ <= N ? required_ : throw "more required parameters than parameters") {}

  const char* class_name;
  const char* method_name;
  std::span<const char* const> parameters;
  size_t required;
};

}  // namespace tessara::py
