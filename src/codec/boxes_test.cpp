// Box walk tests: one table row per rule of the container layout.
#include "codec/boxes.h"

#include <gtest/gtest.h>

#include <string>

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;

void put_be(Bytes& out, uint64_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

// A box whose 32-bit size field says `size`, whatever the content's length.
Bytes raw_box(uint32_t size, const std::string& type, const Bytes& content = {}) {
  Bytes out;
  put_be(out, size, 4);
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes box(const std::string& type, const Bytes& content = {}) {
  return raw_box(static_cast<uint32_t>(8 + content.size()), type, content);
}

Bytes large_box(uint64_t large_size, const std::string& type, const Bytes& content = {}) {
  Bytes out = raw_box(1, type);
  put_be(out, large_size, 8);
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

const Bytes kSignature = {0x00, 0x00, 0x00, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};

// The signature box, a file-type box (bytes 12..31, never examined), then `parts`.
Bytes container(std::initializer_list<Bytes> parts) {
  Bytes out = kSignature;
  Bytes ftyp = box("ftyp", {'j', 'x', 'l', ' ', 0, 0, 0, 0, 'j', 'x', 'l', ' '});
  out.insert(out.end(), ftyp.begin(), ftyp.end());
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct Expected {
  std::string type;
  Bytes data;
};

struct WalkCase {
  const char* name;
  Bytes input;
  std::vector<Expected> boxes;
  std::string error;
};

// `input` with the bytes from `from` up to `to` set to `value`.
Bytes patched(Bytes input, size_t from, size_t to, uint8_t value) {
  for (size_t i = from; i < to; ++i) input[i] = value;
  return input;
}

std::vector<WalkCase> walk_cases() {
  const Bytes exif = box("Exif", {1, 2, 3});
  const Bytes body(40, 0xAB);
  const std::string odd_type("\xFF\x00\x7F\x80", 4);
  return {
      {"bare_codestream", patched(Bytes(64, 0x0A), 0, 1, 0xFF), {}, ""},
      {"shorter_than_signature", Bytes(kSignature.begin(), kSignature.begin() + 11), {}, ""},
      {"signature_differs_in_last_byte", patched(container({box("Exif")}), 11, 12, 0x0B), {}, ""},
      {"signature_and_file_type_only", container({}), {}, ""},
      {"file_type_bytes_not_examined",
       patched(container({box("Exif", {9})}), 12, 32, 0xEE),
       {{"Exif", {9}}},
       ""},
      {"empty_exif", container({box("Exif")}), {{"Exif", {}}}, ""},
      {"boxes_in_file_order",
       container({exif, box("xml ", {'<', 'x', '/', '>'}), box("jumb")}),
       {{"Exif", {1, 2, 3}}, {"xml ", {'<', 'x', '/', '>'}}, {"jumb", {}}},
       ""},
      {"type_bytes_kept_as_stored", container({box(odd_type, {5})}), {{odd_type, {5}}}, ""},
      {"size_zero_runs_to_the_end",
       container({exif, raw_box(0, "jxlc", box("Exif"))}),
       {{"Exif", {1, 2, 3}}, {"jxlc", box("Exif")}},
       ""},
      {"size_zero_with_empty_content", container({raw_box(0, "jxlc")}), {{"jxlc", {}}}, ""},
      {"large_size_16_is_empty",
       container({large_box(16, "Exif"), box("xml ")}),
       {{"Exif", {}}, {"xml ", {}}},
       ""},
      {"large_size_with_content",
       container({large_box(19, "jxlc", {7, 8, 9}), exif}),
       {{"jxlc", {7, 8, 9}}, {"Exif", {1, 2, 3}}},
       ""},
      {"large_size_15",
       container({large_box(15, "Exif")}),
       {},
       "Invalid large box size at position 32"},
      {"large_size_0_after_a_box",
       container({exif, large_box(0, "Exif")}),
       {},
       "Invalid large box size at position 43"},
      {"large_size_header_truncated",
       container({exif, raw_box(1, "Exif", {0, 0, 0})}),
       {{"Exif", {1, 2, 3}}},
       ""},
      {"size_2", container({raw_box(2, "Exif", body)}), {}, "Invalid box size at position 32"},
      {"size_7_after_two_boxes",
       container({box("Exif"), box("xml "), raw_box(7, "jumb", body)}),
       {},
       "Invalid box size at position 48"},
      {"size_8_is_valid",
       container({raw_box(8, "Exif"), raw_box(3, "Exif", body)}),
       {},
       "Invalid box size at position 40"},
      {"truncated_last_box",
       container({exif, raw_box(100, "jxlc", body)}),
       {{"Exif", {1, 2, 3}}},
       ""},
      {"box_one_byte_too_long", container({raw_box(12, "Exif", {1, 2, 3})}), {}, ""},
      {"size_near_2_pow_32",
       container({exif, raw_box(0xFFFFFFFF, "jxlc", body)}),
       {{"Exif", {1, 2, 3}}},
       ""},
      {"large_size_2_pow_64_minus_1",
       container({exif, large_box(~uint64_t{0}, "jxlc", body)}),
       {{"Exif", {1, 2, 3}}},
       ""},
      {"large_size_wraps_pos_to_start",
       container({exif, large_box(~uint64_t{0} - 42, "jxlc")}),
       {{"Exif", {1, 2, 3}}},
       ""},
      {"large_size_near_2_pow_32", container({large_box(uint64_t{1} << 32, "jxlc", body)}), {}, ""},
      {"error_after_truncation_is_not_reached",
       container({exif, raw_box(1000, "jxlc", raw_box(2, "Exif", body))}),
       {{"Exif", {1, 2, 3}}},
       ""},
  };
}

class Walk : public testing::TestWithParam<WalkCase> {};

TEST_P(Walk, GivesTheBoxesOrTheError) {
  const WalkCase& c = GetParam();
  const BoxWalk walk = walk_boxes(c.input);
  EXPECT_FALSE(walk.out_of_memory);
  EXPECT_EQ(walk.error, c.error);
  ASSERT_EQ(walk.boxes.size(), c.boxes.size());
  for (size_t i = 0; i < c.boxes.size(); ++i) {
    const std::string type(walk.boxes[i].type.begin(), walk.boxes[i].type.end());
    EXPECT_EQ(type, c.boxes[i].type) << i;
    EXPECT_EQ(walk.boxes[i].data, c.boxes[i].data) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, Walk, testing::ValuesIn(walk_cases()),
                         [](const testing::TestParamInfo<WalkCase>& p) {
                           return std::string(p.param.name);
                         });

class TrailingBytes : public testing::TestWithParam<size_t> {};

TEST_P(TrailingBytes, AreDroppedSilently) {
  Bytes input = container({box("Exif", {1}), box("xml ")});
  // 00 00 00 02 would be an invalid size if the walk read it.
  const Bytes tail = {0x00, 0x00, 0x00, 0x02, 'E', 'x', 'i'};
  input.insert(input.end(), tail.begin(), tail.begin() + static_cast<long>(GetParam()));
  const BoxWalk walk = walk_boxes(input);
  EXPECT_EQ(walk.error, "");
  ASSERT_EQ(walk.boxes.size(), 2u);
  EXPECT_EQ(walk.boxes[1].type, (std::array<uint8_t, 4>{'x', 'm', 'l', ' '}));
}

INSTANTIATE_TEST_SUITE_P(Lengths, TrailingBytes, testing::Range(size_t{1}, size_t{8}));

TEST(WalkBoxes, ShortContainersHaveNoBoxes) {
  const Bytes full = container({box("Exif")});
  for (size_t n = 0; n < 40; ++n) {
    const BoxWalk walk = walk_boxes(std::span(full).first(n));
    EXPECT_TRUE(walk.boxes.empty()) << n;
    EXPECT_EQ(walk.error, "") << n;
  }
  EXPECT_EQ(walk_boxes(full).boxes.size(), 1u);
}

TEST(WalkBoxes, EveryPrefixStaysInsideTheInput) {
  const Bytes full =
      container({box("Exif", {1, 2, 3}), large_box(20, "xml ", {4, 5, 6, 7}), box("jumb", {8})});
  size_t previous = 0;
  for (size_t n = 0; n <= full.size(); ++n) {
    // A copy of exactly n bytes, so a read past the end shows under ASan.
    const Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
    const BoxWalk walk = walk_boxes(prefix);
    EXPECT_EQ(walk.error, "") << n;
    EXPECT_GE(walk.boxes.size(), previous) << n;
    previous = walk.boxes.size();
  }
  EXPECT_EQ(previous, 3u);
}

// has_box reads headers only and finds a box wherever walk_boxes would.
TEST(HasBox, FindsTheBoxesTheWalkFinds) {
  const std::array<uint8_t, 4> jbrd = {'j', 'b', 'r', 'd'};
  const Bytes body(40, 0xAB);
  EXPECT_TRUE(has_box(container({box("jxlp", body), box("jbrd", {1}), box("jxlp", body)}), jbrd));
  EXPECT_TRUE(has_box(container({large_box(16 + 2, "jbrd", {1, 2})}), jbrd));
  EXPECT_FALSE(has_box(container({box("jxlc", body)}), jbrd));
  // The same bytes inside another box's content are not a box.
  EXPECT_FALSE(has_box(container({box("Exif", {0, 0, 0, 9, 'j', 'b', 'r', 'd', 0})}), jbrd));
  // Not after a malformed size, nor truncated, nor without the container.
  EXPECT_FALSE(has_box(container({raw_box(3, "Exif"), box("jbrd")}), jbrd));
  Bytes cut = container({box("jbrd", body)});
  cut.pop_back();
  EXPECT_FALSE(has_box(cut, jbrd));
  EXPECT_FALSE(has_box(patched(container({box("jbrd")}), 0, 1, 0xFF), jbrd));
}

}  // namespace
}  // namespace tessara
