// What the C++ tests share: libjxl's encoder output drained into one
// buffer, the small JPEG of tests/data, and what a test does when a
// command-line tool it needs is missing: under tools/dev, whose root
// installs every tool (it sets TESSARA_TOOLS_REQUIRED), the test fails,
// because a skip would hide a broken set-up; elsewhere it is skipped.
#pragma once

#include <gtest/gtest.h>
#include <jxl/encode.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#define TESSARA_TOOL_MISSING(name)                                                         \
  do {                                                                                     \
    if (std::getenv("TESSARA_TOOLS_REQUIRED") != nullptr) FAIL() << name " cannot be run"; \
    GTEST_SKIP() << name " cannot be run";                                                 \
  } while (0)

namespace tessara {

inline std::vector<uint8_t> drain_encoder(JxlEncoder* enc) {
  std::vector<uint8_t> out(4096);
  size_t written = 0;
  for (;;) {
    uint8_t* next = out.data() + written;
    size_t avail = out.size() - written;
    const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &avail);
    written = static_cast<size_t>(next - out.data());
    if (status != JXL_ENC_NEED_MORE_OUTPUT) {
      EXPECT_EQ(status, JXL_ENC_SUCCESS);
      break;
    }
    out.resize(out.size() * 2);
  }
  out.resize(written);
  return out;
}

inline std::vector<uint8_t> small_jpeg() {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "../../tests/data/small.jpg",
                   std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tessara
