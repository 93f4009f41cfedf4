// ThreadsRunner over libjxl_threads.
#include "codec/runner.h"

#include <jxl/thread_parallel_runner.h>

namespace tessara {

ThreadsRunner::~ThreadsRunner() {
  if (pool_ != nullptr) JxlThreadParallelRunnerDestroy(pool_);
}

JxlParallelRunner ThreadsRunner::runner_function() const noexcept {
  return JxlThreadParallelRunner;
}

std::optional<ThreadsRunner> create_runner(int64_t num_threads) noexcept {
  size_t workers = num_threads < 0 ? JxlThreadParallelRunnerDefaultNumWorkerThreads()
                                   : static_cast<size_t>(num_threads);
  // libjxl starts its workers with std::thread and lets the system_error of a
  // refused thread escape, leaving every worker it had started running for
  // good (tens of thousands of them for an absurd count). So absurd counts
  // are refused before any thread exists, and a refusal below the cap is
  // still caught rather than ending the process.
  if (workers > kMaxWorkerThreads) return std::nullopt;
  try {
    void* pool = JxlThreadParallelRunnerCreate(nullptr, workers);
    if (pool == nullptr) return std::nullopt;
    return ThreadsRunner(pool);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tessara
