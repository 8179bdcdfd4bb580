// Stored path forms: binary file identifiers and "\XXXX" text.
#include <gtest/gtest.h>

#include "hex.h"
#include "pkcs15/p15path.h"

namespace zorbix {
namespace {

using testing::TextBytes;
using testing::Hex;
using testing::ToHex;

TEST(paths, StoredPathToObjectPath) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> stored;
    const char* path;
  };
  const std::vector<Case> cases = {
      {"4 bytes are binary", Hex("60 81 00 03"), "60 81 00 03"},
      {"4 text characters are binary too", TextBytes("\\3F0"), "5C 33 46 30"},
      {"text form", TextBytes("\\3F00\\5015\\6081\\0003"), "3F 00 50 15 60 81 00 03"},
      {"a zero component ends the path", TextBytes("\\3F00\\0000\\6081"), "3F 00"},
      {"lower-case digits", TextBytes("\\3f00\\abcd"), "3F 00 AB CD"},
      {"repeated backslashes are skipped", TextBytes("\\\\3F00\\\\\\5015"), "3F 00 50 15"},
      {"short components", TextBytes("\\3F\\1\\5015"), "00 3F 00 01 50 15"},
      // Only the two low-order bytes of a long run are kept; the run is not
      // zero, so the path goes on.
      {"long component", TextBytes("\\13F00\\10000\\5015"), "3F 00 00 00 50 15"},
      {"6 binary bytes are taken as text", Hex("3F 00 50 15 60 81"), ""},
      {"text that is only backslashes", TextBytes("\\\\\\\\\\"), ""},
      {"trailing garbage ends the path", TextBytes("\\3F00\\5015xyz\\6081"), "3F 00 50 15"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ToHex(p15::PathFromStored(c.stored)), ToHex(Hex(c.path))) << c.name;
}

TEST(paths, ObjectPathToText) {
  EXPECT_EQ(p15::PathToText(Hex("3F 00 50 15 60 81 00 03")), "\\3F00\\5015\\6081\\0003");
  EXPECT_EQ(p15::PathToText(Hex("ab cd")), "\\ABCD");
  EXPECT_EQ(p15::PathToText({}), "");

  auto odd = Hex("50 15 60");
  p15::PadPath(odd);
  EXPECT_EQ(ToHex(odd), "50 15 60 00");
  EXPECT_EQ(p15::PathToText(odd), "\\5015\\6000");
  p15::PadPath(odd);
  EXPECT_EQ(odd.size(), 4u);
}

TEST(paths, StorageFollowsThePathForm) {
  const auto path = Hex("3F 00 50 15 60 81 00 03");
  EXPECT_EQ(ToHex(p15::PathForStorage(path, p15::kPathFormBinary)), ToHex(path));
  const auto text = p15::PathForStorage(path, p15::kPathFormText);
  EXPECT_EQ(std::string(text.begin(), text.end()), "\\3F00\\5015\\6081\\0003");
  EXPECT_EQ(ToHex(p15::PathFromStored(text)), ToHex(path));
  // Any value other than 2 is the text form.
  EXPECT_EQ(p15::PathForStorage(Hex("60 81"), 1).size(), 5u);
}

}  // namespace
}  // namespace zorbix
