#include "orvanta/robot/json_text.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"

namespace orvanta::robot {
namespace {

TEST(JsonDumpsText, BasicPlaneCharactersBecomeLowercaseUEscapes) {
  EXPECT_EQ(json_dumps(Json("群")), "\"\\u7fa4\"");
  EXPECT_EQ(json_dumps(Json("é中Ω")), "\"\\u00e9\\u4e2d\\u03a9\"");
  EXPECT_EQ(json_dumps(Json("\xEF\xBF\xBD")), "\"\\ufffd\"");
}

TEST(JsonDumpsText, CharactersBeyondTheBasicPlaneBecomeSurrogatePairs) {
  EXPECT_EQ(json_dumps(Json("😀")), "\"\\ud83d\\ude00\"");
  EXPECT_EQ(json_dumps(Json("a\xF4\x8F\xBF\xBFz")), "\"a\\udbff\\udfffz\"");
  EXPECT_EQ(json_dumps(Json("\xF0\x90\x80\x80")), "\"\\ud800\\udc00\"");
}

TEST(JsonDumpsText, ShortEscapesControlsAndSlash) {
  EXPECT_EQ(json_dumps(Json("q\"b\\n\nr\rt\tb\bf\f/")), R"("q\"b\\n\nr\rt\tb\bf\f/")");
  EXPECT_EQ(json_dumps(Json(std::string("\x00\x01\x1f\x7f", 4))), R"("\u0000\u0001\u001f\u007f")");
  EXPECT_EQ(json_dumps(Json("plain ASCII ~ text")), "\"plain ASCII ~ text\"");
  EXPECT_EQ(json_dumps(Json("")), "\"\"");
}

TEST(JsonDumpsText, InvalidUtf8IsRejected) {
  for (const char* bad : {"\xFF", "a\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE7\xBE",
                          "\xF0\x9F\x98", "\xC3(", "\xF5\x80\x80\x80"}) {
    EXPECT_THROW(json_dumps(Json(bad)), ValueError) << ::testing::PrintToString(std::string(bad));
  }
  // A bad key is refused the same way as a bad value.
  Json obj = Json::object();
  obj["\xFE"] = 1;
  EXPECT_THROW(json_dumps(obj), ValueError);
}

TEST(JsonDumpsStructure, SeparatorsAndKeyOrder) {
  Json record = Json::object();
  record["z"] = 1;
  record["a"] = Json::array({true, false, nullptr});
  record["m"] = Json::object();
  record["m"]["inner"] = "群";
  record["m"]["k"] = Json::array();
  record["e"] = Json::object();
  EXPECT_EQ(json_dumps(record), R"({"z": 1, "a": [true, false, null], "m": {"inner": "\u7fa4", "k": []}, "e": {}})");
  EXPECT_EQ(json_dumps(Json::array({"张三", "李四"})), R"(["\u5f20\u4e09", "\u674e\u56db"])");
  EXPECT_EQ(json_dumps(Json::array()), "[]");
  EXPECT_EQ(json_dumps(Json::object()), "{}");
  EXPECT_EQ(json_dumps(Json(nullptr)), "null");
}

TEST(JsonDumpsStructure, NonAsciiKeysAreEscaped) {
  Json record = Json::object();
  record["群名"] = "x";
  EXPECT_EQ(json_dumps(record), R"({"\u7fa4\u540d": "x"})");
}

TEST(JsonDumpsNumbers, IntegersArePlain) {
  EXPECT_EQ(json_dumps(Json(0)), "0");
  EXPECT_EQ(json_dumps(Json(-42)), "-42");
  EXPECT_EQ(json_dumps(Json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(json_dumps(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
}

TEST(JsonDumpsNumbers, FloatsAsPythonPrintsThem) {
  EXPECT_EQ(json_dumps(Json(1.0)), "1.0");
  EXPECT_EQ(json_dumps(Json(100.0)), "100.0");
  EXPECT_EQ(json_dumps(Json(-0.0)), "-0.0");
  EXPECT_EQ(json_dumps(Json(0.5)), "0.5");
  EXPECT_EQ(json_dumps(Json(0.1 + 0.2)), "0.30000000000000004");
  EXPECT_EQ(json_dumps(Json(1e20)), "1e+20");
  EXPECT_EQ(json_dumps(Json(1e16)), "1e+16");
  EXPECT_EQ(json_dumps(Json(1.5e16)), "1.5e+16");
  EXPECT_EQ(json_dumps(Json(1234567890123456.0)), "1234567890123456.0");
  EXPECT_EQ(json_dumps(Json(0.0001)), "0.0001");
  EXPECT_EQ(json_dumps(Json(0.00001)), "1e-05");
  EXPECT_EQ(json_dumps(Json(-1.25e-7)), "-1.25e-07");
  EXPECT_EQ(json_dumps(Json(1.5e300)), "1.5e+300");
  EXPECT_EQ(json_dumps(Json(5e-324)), "5e-324");
  EXPECT_EQ(json_dumps(Json(123.456)), "123.456");
}

TEST(JsonDumpsNumbers, NonFiniteFloats) {
  EXPECT_EQ(json_dumps(Json(std::nan(""))), "NaN");
  EXPECT_EQ(json_dumps(Json(std::numeric_limits<double>::infinity())), "Infinity");
  EXPECT_EQ(json_dumps(Json(-std::numeric_limits<double>::infinity())), "-Infinity");
}

TEST(JsonDumpsStructure, BinaryHasNoTextForm) {
  EXPECT_THROW(json_dumps(Json::binary({1, 2, 3})), TypeError);
}

}  // namespace
}  // namespace orvanta::robot
