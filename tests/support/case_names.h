// Readable, stable names for parameterised cases: the piece after the last slash of a test's
// name. Each case type also gets a PrintTo beside it, so a failure prints words, not bytes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace drel::test {

// Letters and digits kept, any other byte '_': the only characters GoogleTest accepts.
inline std::string name_piece(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    out += alnum ? c : '_';
  }
  return out.empty() ? "empty" : out;
}

// Name generator for case types with a `name` member.
struct ByName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return name_piece(info.param.name);
  }
};

// Name generator for plain text parameters: the text itself.
struct ByText {
  template <typename Text>
  std::string operator()(const ::testing::TestParamInfo<Text>& info) const {
    return name_piece(info.param);
  }
};

}  // namespace drel::test
