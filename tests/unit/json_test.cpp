#include <gtest/gtest.h>

#include "platform/json.h"

TEST(Json, ReadsObjectsAndRefusesWhatIsNone) {
  const std::string deep = std::string(100, '[') + std::string(100, ']');
  const std::pair<std::string, bool> cases[] = {
      {R"({"type":"ping"})", true},
      {R"([{"url":"http://a/"},1,null,true])", true},
      {"", false},
      {"{", false},
      {R"({"a":1} x)", false},          // trailing bytes
      {R"("lone")", false},             // no object or array
      {"{\"a\":\"\xff\"}", false},      // no UTF-8
      {"{\"a\":\"\xc0\xaf\"}", false},  // overlong
      {deep, false},
  };
  for (const auto& [text, ok] : cases) EXPECT_EQ(ParseJson(text).has_value(), ok) << text;
}

TEST(Json, StringsSurviveTheRoundTrip) {
  const std::string texts[] = {"plain", "quote \" backslash \\ slash /", "line\nbreak\ttab\x01", "Grüße ✓ 𝄞", ""};
  for (const auto& t : texts) {
    auto back = ParseJson(WriteJson(JsonValue::object({{"v", JsonValue::of(t)}, {"b", JsonValue::of(true)}})));
    ASSERT_TRUE(back && back->isObject()) << t;
    EXPECT_EQ(back->string("v"), t);
    EXPECT_TRUE(back->member("b") && back->member("b")->boolean);
    EXPECT_EQ(back->string("b"), "");  // no string
    EXPECT_EQ(back->member("missing"), nullptr);
  }
  auto escaped = ParseJson(R"({"v":"\u00e9\ud834\udd1e\n"})");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->string("v"), "é𝄞\n");
}
