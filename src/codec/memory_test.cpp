// Buffer growth that cannot be met is a false return, never an exception.
#include "codec/memory.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tessara {
namespace {

TEST(TryResize, LengthsBeyondAVectorAreRefusedUnchanged) {
  std::vector<uint8_t> bytes = {1, 2, 3};
  EXPECT_FALSE(try_resize(bytes, bytes.max_size() + 1));  // would be length_error
  std::vector<uint32_t> words(2, 7);
  EXPECT_FALSE(try_resize(words, SIZE_MAX));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(words, (std::vector<uint32_t>(2, 7)));
}

TEST(TryResize, MemoryThatCannotBeHadIsRefusedUnchanged) {
  std::vector<uint8_t> bytes = {4, 5};
  EXPECT_FALSE(try_resize(bytes, bytes.max_size()));  // would be bad_alloc
  EXPECT_EQ(bytes, (std::vector<uint8_t>{4, 5}));
  ASSERT_TRUE(try_resize(bytes, 5));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{4, 5, 0, 0, 0}));
}

TEST(TryAssignAndEmplace, CopyAndAppend) {
  const uint8_t source[] = {9, 8, 7};
  std::vector<uint8_t> out;
  ASSERT_TRUE(try_assign(out, source, source + 3));
  EXPECT_EQ(out, (std::vector<uint8_t>{9, 8, 7}));
  std::vector<std::vector<uint8_t>> list;
  std::vector<uint8_t>* added = try_emplace_back(list);
  ASSERT_NE(added, nullptr);
  EXPECT_TRUE(added->empty());
  EXPECT_EQ(list.size(), 1u);
}

}  // namespace
}  // namespace tessara
