// ThreadsRunner over libjxl_threads.
#include "codec/runner.h"

#include <jxl/thread_parallel_runner.h>

#include <algorithm>

namespace tessara {

ThreadsRunner::~ThreadsRunner() {
  if (pool_ != nullptr) JxlThreadParallelRunnerDestroy(pool_);
}

JxlParallelRunner ThreadsRunner::runner_function() const noexcept {
  return JxlThreadParallelRunner;
}

std::optional<size_t> worker_count(int64_t num_threads, size_t library_default) noexcept {
  if (num_threads < 0) return std::min(library_default, kMaxWorkerThreads);
  if (static_cast<uint64_t>(num_threads) > kMaxWorkerThreads) return std::nullopt;
  return static_cast<size_t>(num_threads);
}

std::optional<ThreadsRunner> create_runner(int64_t num_threads) noexcept {
  // libjxl starts its workers with std::thread and lets the system_error of a
  // refused thread escape, leaving every worker it had started running for
  // good (tens of thousands of them for an absurd count). So absurd counts
  // are refused before any thread exists, and a refusal below the cap is
  // still caught rather than ending the process.
  const std::optional<size_t> workers = worker_count(
      num_threads, num_threads < 0 ? JxlThreadParallelRunnerDefaultNumWorkerThreads() : 0);
  if (!workers) return std::nullopt;
  try {
    void* pool = JxlThreadParallelRunnerCreate(nullptr, *workers);
    if (pool == nullptr) return std::nullopt;
    return ThreadsRunner(pool);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tessara
