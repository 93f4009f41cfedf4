// The worker count of a call's pool, and pools that libjxl really creates.
#include "codec/runner.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessara {
namespace {

TEST(WorkerCount, ExplicitCountsAreKeptUpToTheCap) {
  for (int64_t n : {0, 1, 2, 7, 1023, 1024}) {
    EXPECT_EQ(worker_count(n, 16), static_cast<size_t>(n)) << n;
  }
  for (int64_t n : {int64_t{1025}, int64_t{200000}, std::numeric_limits<int64_t>::max()}) {
    EXPECT_FALSE(worker_count(n, 16).has_value()) << n;
  }
}

// A host with more hardware threads than the cap still gets a pool by
// default; only explicit counts above the cap are refused.
TEST(WorkerCount, TheLibraryDefaultIsClampedToTheCap) {
  for (int64_t n : {int64_t{-1}, int64_t{-5}, std::numeric_limits<int64_t>::min()}) {
    EXPECT_EQ(worker_count(n, 2), 2u) << n;
    EXPECT_EQ(worker_count(n, 0), 0u) << n;
    EXPECT_EQ(worker_count(n, 1024), 1024u) << n;
    EXPECT_EQ(worker_count(n, 1025), kMaxWorkerThreads) << n;
    EXPECT_EQ(worker_count(n, 4096), kMaxWorkerThreads) << n;
  }
}

TEST(CreateRunner, MakesPoolsForTheDefaultAndExplicitCounts) {
  for (int64_t n : {-1, 0, 3}) {
    auto runner = create_runner(n);
    ASSERT_TRUE(runner.has_value()) << n;
    EXPECT_NE(runner->opaque(), nullptr) << n;
  }
  EXPECT_FALSE(create_runner(int64_t{kMaxWorkerThreads} + 1).has_value());
}

}  // namespace
}  // namespace tessara
