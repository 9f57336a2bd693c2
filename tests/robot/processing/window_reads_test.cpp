#include "orvanta/robot/window_reads.hpp"

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/json_text.hpp"

namespace orvanta::robot {
namespace {

// A window message that is nothing but its info.
class InfoOnly final : public wxauto::WindowMessage {
 public:
  explicit InfoOnly(std::optional<Json> info) : info_(std::move(info)) {}
  std::optional<std::string> sender() const override { return std::nullopt; }
  std::optional<std::string> sender_remark() const override { return std::nullopt; }
  std::optional<std::string> content() const override { return std::nullopt; }
  std::optional<Json> info() const override { return info_; }
  bool has_quote() const override { return false; }
  void quote(const std::string&, const std::optional<std::string>&) override {}
  wxauto::Download download() override { return {}; }

 private:
  std::optional<Json> info_;
};

TEST(WindowReads, GuardedAndPlainReadsDifferExactlyOnMissingAndMalformedInfo) {
  const InfoOnly full(Json{{"type", "text"}, {"content", "hi"}});
  const InfoOnly missing_key(Json{{"type", "text"}});
  const InfoOnly absent(std::nullopt);
  const InfoOnly not_mapping(Json("just text"));

  EXPECT_EQ(guarded_read(full, "content"), Json("hi"));
  EXPECT_EQ(plain_read(full, "content"), Json("hi"));

  // A missing key: the empty text for the guarded read, null for the plain.
  EXPECT_EQ(guarded_read(missing_key, "content"), Json(""));
  EXPECT_TRUE(plain_read(missing_key, "content").is_null());

  // No info: the guarded read sees an empty mapping, the plain read fails.
  EXPECT_EQ(guarded_read(absent, "type"), Json(""));
  EXPECT_THROW(plain_read(absent, "type"), AttributeError);

  // An info that is not a mapping has no lookup: nothing, or an error.
  EXPECT_EQ(guarded_read(not_mapping, "type"), std::nullopt);
  EXPECT_THROW(plain_read(not_mapping, "type"), AttributeError);
}

TEST(WindowReads, TextTestsOnNothingOrNonTextRaiseTypeError) {
  EXPECT_TRUE(text_contains(Json("张三 撤回了一条消息"), "撤回了一条消息"));
  EXPECT_THROW(text_contains(Json(nullptr), "x"), TypeError);
  EXPECT_THROW(text_contains(std::optional<Json>{}, "x"), TypeError);
  EXPECT_THROW(text_contains(Json(3), "x"), TypeError);
  EXPECT_FALSE(is_text(Json(nullptr), ""));
  EXPECT_FALSE(is_text(std::optional<Json>{}, ""));
  EXPECT_THROW(text_of(Json::array()), TypeError);
}

TEST(WindowReads, QuoteMarkersAndCutting) {
  EXPECT_EQ(kQuoteMarker, "\xe5\xbc\x95\xe7\x94\xa8  \xe7\x9a\x84\xe6\xb6\x88\xe6\x81\xaf :");
  EXPECT_EQ(kQuoteMarkerCompare, kQuoteMarker.substr(0, kQuoteMarker.size() - 2));
  const std::string reply = "好的 \n" + std::string(kQuoteMarker) + " 原文";
  EXPECT_EQ(cut_before(reply, kQuoteMarker), "好的");
  EXPECT_EQ(cut_before(reply, kQuoteMarkerCompare), "好的");
  EXPECT_EQ(cut_before("no marker \t\u3000", kQuoteMarker), "no marker");
  EXPECT_EQ(lstrip(" \u3000 x "), "x ");
}

TEST(PythonFloatText, MatchesPythonStr) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0.5, "0.5"},       {12.0, "12.0"},          {1e-05, "1e-05"},
               {0.0001, "0.0001"}, {1e16, "1e+16"},         {123456789012345.6, "123456789012345.6"},
               {-0.0, "-0.0"},     {3.0000001, "3.0000001"}};
  for (const auto& c : cases) EXPECT_EQ(python_float_text(c.value), c.text) << c.text;
}

}  // namespace
}  // namespace orvanta::robot
