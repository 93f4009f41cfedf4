// The calling convention of every entry from the interpreter: argument
// matching, per-instance holds, and turning an Outcome into a return value.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <span>

#include "lib/python.h"
#include "module/errors.h"
#include "module/signature.h"

namespace tessara::py {

using ArgumentSlots = std::array<PyObject*, kMaxParameters>;  // borrowed, null when empty

// Matches positional and keyword arguments to the parameters of `spec`.
Outcome<ArgumentSlots> parse_arguments(const SignatureSpec& spec, PyObject* args,
                                       PyObject* kwargs);

// Notes on a failed conversion which argument or property it was.
Error argument_error(const char* name, Error error);

// Converts slot `index` with `convert` when filled, else keeps `fallback`.
template <typename T, typename Convert>
Outcome<T> convert_argument(const SignatureSpec& spec, const ArgumentSlots& slots, size_t index,
                            T fallback, Convert convert) {
  if (slots[index] == nullptr) return fallback;
  Outcome<T> value = convert(slots[index]);
  if (!value) return Err<Error>{argument_error(spec.parameters[index], std::move(value.error()))};
  return value;
}

// Converts slot `index` of `slots` into `args.field` (kept when the slot is
// empty), or returns the failure from the enclosing function.
#define TESSARA_CONVERT(spec, field, index, convert)                                   \
  if (auto value = convert_argument(spec, slots, index, args.field, convert); value) { \
    args.field = value.value();                                                        \
  } else {                                                                             \
    return Err<Error>{std::move(value.error())};                                       \
  }

// The hold counter of every instance: 0 free, n > 0 shared holds, -1 one
// exclusive hold.
using HoldCounter = std::atomic<intptr_t>;

class SharedHold {
 public:
  static Outcome<SharedHold> take(HoldCounter& counter);
  SharedHold(SharedHold&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)) {}
  SharedHold(const SharedHold&) = delete;
  ~SharedHold() {
    if (counter_) counter_->fetch_sub(1, std::memory_order_release);
  }

 private:
  explicit SharedHold(HoldCounter* counter) noexcept : counter_(counter) {}
  HoldCounter* counter_;
};

class ExclusiveHold {
 public:
  static Outcome<ExclusiveHold> take(HoldCounter& counter);
  ExclusiveHold(ExclusiveHold&& other) noexcept
      : counter_(std::exchange(other.counter_, nullptr)) {}
  ExclusiveHold(const ExclusiveHold&) = delete;
  ~ExclusiveHold() {
    if (counter_) counter_->store(0, std::memory_order_release);
  }

 private:
  explicit ExclusiveHold(HoldCounter* counter) noexcept : counter_(counter) {}
  HoldCounter* counter_;
};

// Runs an entry body and hands its outcome to the interpreter. No C++
// exception leaves: running out of memory is MemoryError, anything else a fault.
template <typename Body>
PyObject* object_entry(Body&& body) noexcept {
  try {
    Outcome<Ref> result = body();
    if (result) return result.value().release();
    raise(std::move(result.error()));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_unexpected_failure(__FILE__, __LINE__);
  }
  return nullptr;
}

template <typename Body>
int status_entry(Body&& body) noexcept {
  try {
    Done result = body();
    if (result) return 0;
    raise(std::move(result.error()));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_unexpected_failure(__FILE__, __LINE__);
  }
  return -1;
}

}  // namespace tessara::py
