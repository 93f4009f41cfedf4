// Signatures are checked against the argument slots when they are compiled.
#include "module/signature.h"

#include <gtest/gtest.h>

#include <string_view>

namespace tessara::py {
namespace {

template <size_t N>
concept FitsTheSlots =
    requires(const char* const (&names)[N]) { SignatureSpec("Class", "method", names, 0); };

static_assert(FitsTheSlots<1>);
static_assert(FitsTheSlots<kMaxParameters>);
static_assert(!FitsTheSlots<kMaxParameters + 1>, "a signature longer than the slots compiles");

constexpr const char* kNames[] = {"data", "width", "height"};
constexpr SignatureSpec kSpec{"Encoder", "__call__", kNames, 2};

TEST(SignatureSpec, KeepsNamesAndCounts) {
  EXPECT_EQ(kSpec.parameters.size(), 3u);
  EXPECT_EQ(std::string_view(kSpec.parameters[2]), "height");
  EXPECT_EQ(kSpec.required, 2u);
}

}  // namespace
}  // namespace tessara::py
