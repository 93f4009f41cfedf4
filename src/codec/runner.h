// The per-call libjxl thread pool that both drivers register as their
// parallel runner. One pool per decode or encode call, never shared.
#pragma once

#include <jxl/codestream_header.h>
#include <jxl/parallel_runner.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessara {

class ThreadsRunner {
 public:
  ThreadsRunner(ThreadsRunner&& other) noexcept : pool_(other.pool_) { other.pool_ = nullptr; }
  ThreadsRunner& operator=(ThreadsRunner&&) = delete;
  ThreadsRunner(const ThreadsRunner&) = delete;
  ~ThreadsRunner();

  JxlParallelRunner runner_function() const noexcept;
  void* opaque() const noexcept { return pool_; }
  // The pool sizes itself up front, so the image's facts change nothing.
  void notify_basic_info(const JxlBasicInfo&) const noexcept {}

 private:
  friend std::optional<ThreadsRunner> create_runner(int64_t num_threads) noexcept;
  explicit ThreadsRunner(void* pool) noexcept : pool_(pool) {}
  void* pool_;
};

// More workers than a call can use; larger explicit counts fail.
inline constexpr size_t kMaxWorkerThreads = 1024;

// The workers of a pool: an explicit count (0 and above) as it is, empty
// when it exceeds the cap; a negative count means `library_default`, clamped
// to the cap so that the default works on any host.
std::optional<size_t> worker_count(int64_t num_threads, size_t library_default) noexcept;

// A negative count asks libjxl for its default, anew on every call; 0 and
// above are passed as they are (0 runs everything on the calling thread).
// Empty when the count is refused or libjxl cannot create the pool.
std::optional<ThreadsRunner> create_runner(int64_t num_threads) noexcept;

}  // namespace tessara
