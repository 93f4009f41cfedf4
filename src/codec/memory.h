// Growing buffers without letting an exception out: codec code runs inside
// noexcept drivers and under libjxl, where a throw would end the process.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessara {

// Resizes `v` to `n` elements (new ones value-initialised). False, with `v`
// unchanged, when `n` is more than a vector can hold or memory runs out.
template <typename T>
[[nodiscard]] bool try_resize(std::vector<T>& v, size_t n) noexcept {
  if (n > v.max_size()) return false;
  try {
    v.resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The same for a string (new characters are NUL).
[[nodiscard]] inline bool try_resize(std::string& s, size_t n) noexcept {
  if (n > s.max_size()) return false;
  try {
    s.resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Replaces the contents of `v` with [first, last); false when out of memory.
template <typename T>
[[nodiscard]] bool try_assign(std::vector<T>& v, const T* first, const T* last) noexcept {
  if (static_cast<size_t>(last - first) > v.max_size()) return false;
  try {
    v.assign(first, last);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Appends a value-initialised element; nullptr when out of memory.
template <typename T>
[[nodiscard]] T* try_emplace_back(std::vector<T>& v) noexcept {
  if (v.size() == v.max_size()) return nullptr;
  try {
    return &v.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// libjxl's C functions let std::bad_alloc out when memory runs out (and
// std::length_error for a size no container can hold); through a noexcept
// driver that would end the process. So a libjxl call that may allocate runs
// through this: its value, or nothing when memory ran out.
template <typename Call>
auto allocating_call(Call&& call) noexcept -> std::optional<decltype(call())> {
  try {
    return call();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return std::nullopt;
}

// Drops spare capacity if that is possible; keeping it is harmless.
template <typename T>
void try_shrink_to_fit(std::vector<T>& v) noexcept {
  try {
    v.shrink_to_fit();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace tessara
