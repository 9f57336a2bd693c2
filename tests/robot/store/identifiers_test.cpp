#include "orvanta/robot/identifiers.hpp"

#include <chrono>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/timing.hpp"
#include "support/local_time.hpp"

namespace orvanta::robot {
namespace {

using std::chrono::seconds;
using std::chrono::system_clock;
using ::testing::HasSubstr;

// The clock runs at real speed while a test pins it, so a pinned second lasts
// a whole real second; each test pins seconds of its own so that the
// identifier sequence never continues from another test.
class ClockPinned : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_scale_ = timing::scale();
    timing::set_scale(1.0);
    config.reset();
  }
  void TearDown() override {
    config.reset();
    timing::reset();
    timing::set_scale(saved_scale_);
  }

  // Sets the clock to the start of the whole second `s` since the epoch.
  static void pin(std::int64_t s) { timing::set_now(system_clock::time_point(seconds(s))); }

  // Sets the clock to a local calendar time, a fifth of a second in.
  static void pin_local(int year, int month, int day, int hour, int minute, int second) {
    timing::set_now(testing::local_time(year, month, day, hour, minute, second, 200000));
  }

 private:
  double saved_scale_ = 1.0;
};

using MessageIdentifiers = ClockPinned;

TEST_F(MessageIdentifiers, SequenceWithinOneSecondStartsAtZero) {
  pin(1'000'012'345);
  EXPECT_EQ(get_msg_id(), "wx2345000");
  pin(1'000'012'345);
  EXPECT_EQ(get_msg_id(), "wx2345001");
  pin(1'000'012'346);
  EXPECT_EQ(get_msg_id(), "wx2346000");
}

TEST_F(MessageIdentifiers, ThousandAndFirstInOneSecondTakesFourDigits) {
  std::string id;
  for (int i = 0; i <= 1000; ++i) {
    pin(1'000'020'000);
    id = get_msg_id();
    if (i == 999) {
      EXPECT_EQ(id, "wx0000999");
    }
  }
  EXPECT_EQ(id, "wx00001000");
}

TEST_F(MessageIdentifiers, ClockSteppingBackRestartsTheSequence) {
  pin(1'000'030'010);
  get_msg_id();
  pin(1'000'030'010);
  EXPECT_EQ(get_msg_id(), "wx0010001");
  pin(1'000'030'009);
  EXPECT_EQ(get_msg_id(), "wx0009000");
  pin(1'000'030'010);
  EXPECT_EQ(get_msg_id(), "wx0010000");
}

TEST_F(MessageIdentifiers, TimeDigitsRepeatEveryTenThousandSeconds) {
  pin(1'000'040'000);
  const std::string first = get_msg_id();
  pin(1'000'050'000);
  EXPECT_EQ(get_msg_id(), first);
}

TEST_F(MessageIdentifiers, PrefixIsReadAtEveryCall) {
  pin(1'000'060'000);
  config.id前缀.set("p1");
  EXPECT_EQ(get_msg_id(), "p10000000");
  config.id前缀.set("群");
  pin(1'000'060'000);
  EXPECT_EQ(get_msg_id(), "群0000001");
}

TEST_F(MessageIdentifiers, MissingPrefixRaisesAfterUsingUpTheNumber) {
  pin(1'000'070'000);
  config.id前缀.reset();
  EXPECT_THROW(get_msg_id(), AttributeError);
  config.id前缀.set("ab");
  pin(1'000'070'000);
  EXPECT_EQ(get_msg_id(), "ab0000001");
}

TEST_F(MessageIdentifiers, TwoThreadsInOneSecondGetDistinctIdentifiers) {
  constexpr int kPerThread = 3000;
  pin(1'000'080'000);
  std::vector<std::string> a, b;
  a.reserve(kPerThread);
  b.reserve(kPerThread);
  std::thread other([&] {
    for (int i = 0; i < kPerThread; ++i) b.push_back(get_msg_id());
  });
  for (int i = 0; i < kPerThread; ++i) a.push_back(get_msg_id());
  other.join();
  std::set<std::string> all(a.begin(), a.end());
  all.insert(b.begin(), b.end());
  EXPECT_EQ(all.size(), 2u * kPerThread);
}

using TimeStamps = ClockPinned;

TEST_F(TimeStamps, FieldsHaveNoLeadingZeros) {
  pin_local(2024, 2, 1, 9, 5, 3);
  EXPECT_EQ(get_now(), "2024-2-1-9:5:3");
  pin_local(2024, 12, 31, 23, 59, 58);
  EXPECT_EQ(get_now(), "2024-12-31-23:59:58");
  pin_local(2025, 1, 10, 0, 0, 0);
  EXPECT_EQ(get_now(), "2025-1-10-0:0:0");
}

TEST_F(TimeStamps, WrittenStampReadsBack) {
  pin_local(2024, 3, 5, 9, 7, 3);
  const std::string earlier = get_now();
  pin_local(2024, 3, 5, 9, 9, 4);
  EXPECT_TRUE(is_later_by_2_minutes(get_now(), earlier));
}

TEST(TwoMinuteComparison, BoundaryIsStrict) {
  EXPECT_FALSE(is_later_by_2_minutes("2024-1-1-0:2:0", "2024-1-1-0:0:0"));
  EXPECT_TRUE(is_later_by_2_minutes("2024-1-1-0:2:1", "2024-1-1-0:0:0"));
  EXPECT_FALSE(is_later_by_2_minutes("2024-1-1-0:0:0", "2024-1-1-0:0:0"));
}

TEST(TwoMinuteComparison, EarlierFirstTimeIsNotLater) {
  EXPECT_FALSE(is_later_by_2_minutes("2024-1-1-0:0:0", "2024-1-1-1:0:0"));
  EXPECT_FALSE(is_later_by_2_minutes("2023-12-31-23:59:59", "2024-1-1-0:0:0"));
}

TEST(TwoMinuteComparison, CalendarArithmeticAcrossDaysMonthsAndLeapDays) {
  EXPECT_TRUE(is_later_by_2_minutes("2024-1-1-0:1:0", "2023-12-31-23:58:59"));
  EXPECT_FALSE(is_later_by_2_minutes("2024-3-1-0:1:0", "2024-2-29-23:59:0"));
  EXPECT_TRUE(is_later_by_2_minutes("2024-3-1-0:1:1", "2024-2-29-23:59:0"));
  EXPECT_TRUE(is_later_by_2_minutes("2024-1-2-0:0:0", "2024-1-1-0:0:0"));
}

TEST(TwoMinuteComparison, PaddedAndUnpaddedFieldsReadAlike) {
  EXPECT_TRUE(is_later_by_2_minutes("2024-01-05-09:09:04", "2024-1-5-9:7:3"));
  EXPECT_FALSE(is_later_by_2_minutes("2024-01-05-09:09:03", "2024-1-5-9:7:3"));
  EXPECT_FALSE(is_later_by_2_minutes("2024-1-5-9:9:3", "2024-01-05-09:07:03"));
  EXPECT_TRUE(is_later_by_2_minutes("2024-10-15-19:39:59", "2024-10-15-19:37:58"));
}

TEST(TwoMinuteComparison, TextNotMatchingThePatternRaisesNamingIt) {
  const std::string good = "2024-1-1-0:0:0";
  for (const std::string bad :
       {"", "2024-13-01-00:00:00", "2024-1-1-0:0:0x", "2024-1-1-0:0:0 ", "24-1-1-0:0:0", "2024-1-1 0:0:0",
        "2024-0-1-0:0:0", "2024-1-32-0:0:0", "2024-1-0-0:0:0", "2024-1-1-24:0:0", "2024-1-1-0:60:0", "2024-1-1-0:0:60",
        "2024-1-1-0:0:599", "2023-2-29-0:0:0", "2024-4-31-0:0:0", "0000-1-1-0:0:0", "2024/1/1-0:0:0",
        "2024-001-1-0:0:0"}) {
    try {
      is_later_by_2_minutes(bad, good);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const ValueError& e) {
      EXPECT_THAT(e.what(), HasSubstr("'" + bad + "'"));
    }
    EXPECT_THROW(is_later_by_2_minutes(good, bad), ValueError) << bad;
  }
}

TEST(TwoMinuteComparison, ErrorSaysWhyTheTextWasRefused) {
  const auto message = [](const std::string& text) {
    try {
      is_later_by_2_minutes(text, "2024-1-1-0:0:0");
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message("2024-13-1-0:0:0"), "time data '2024-13-1-0:0:0' does not match format '%Y-%m-%d-%H:%M:%S'");
  EXPECT_EQ(message("2024-1-1-0:0:0!"), "time data '2024-1-1-0:0:0!' does not match format '%Y-%m-%d-%H:%M:%S'");
  EXPECT_EQ(message("2023-2-29-0:0:0"), "day is out of range for month in time data '2023-2-29-0:0:0'");
  EXPECT_EQ(message("2024-1-1-0:0:61"), "second must be in 0..59 in time data '2024-1-1-0:0:61'");
}

// A plain bit-by-bit encoder to check the fast one against.
std::string reference_base64(const std::string& in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int nbits = 0;
  for (unsigned char c : in) {
    bits = (bits << 8) | c;
    nbits += 8;
    while (nbits >= 6) {
      out.push_back(abc[(bits >> (nbits - 6)) & 63]);
      nbits -= 6;
    }
  }
  if (nbits > 0) out.push_back(abc[(bits << (6 - nbits)) & 63]);
  while (out.size() % 4 != 0) out.push_back('=');
  return out;
}

std::string pattern_bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return s;
}

std::string random_bytes(std::size_t n, std::mt19937& rng) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(Base64, StandardTestVectors) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
  EXPECT_EQ(base64_encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64_encode("\xFB\xFF\xBF"), "+/+/");
}

TEST(Base64, EveryByteValueAndLengthMatchesPlainEncoder) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<char>(i);
  EXPECT_EQ(base64_encode(all), reference_base64(all));
  std::mt19937 rng(42);
  for (std::size_t n = 0; n < 200; ++n) {
    const std::string in = random_bytes(n, rng);
    ASSERT_EQ(base64_encode(in), reference_base64(in)) << "length " << n;
  }
  for (std::size_t n : {4095u, 4096u, 4097u, 65535u, 65536u, 65537u}) {
    const std::string in = random_bytes(n, rng);
    EXPECT_EQ(base64_encode(in), reference_base64(in)) << "length " << n;
  }
}

TEST(ImageKey, DigestOfTheBase64Form) {
  EXPECT_EQ(img_key(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(img_key("abc"), "f4c0128178a6a21b7a3dd76729725d91");
  // Inputs longer than one piece of the streamed encoding.
  EXPECT_EQ(img_key(pattern_bytes(24581)), "36afdcebab8637d46ebfbf188db138be");
  EXPECT_EQ(img_key(pattern_bytes(27655)), "7a7f7d03650095e365f058a01b0bb872");
  EXPECT_EQ(img_key(pattern_bytes(100000)), "4c32ebd6cf9f5bb28c13240d9e32b56d");
}

TEST(ImageKey, PictureKeyDigestsTheDoubleEncoding) {
  EXPECT_EQ(picture_key(pattern_bytes(24581)), "ca1cdb6e2b93a591d5d6136ae61f8d71");
  EXPECT_EQ(picture_key(pattern_bytes(27655)), "abd80593803fb2dc05d8db320e063501");
  EXPECT_EQ(picture_key(pattern_bytes(100000)), "d271d1b221782202a43d1d79003e58df");
}

TEST(ImageKey, PictureKeyEqualsTwoStepFormAroundPieceBoundaries) {
  std::mt19937 rng(7);
  std::vector<std::size_t> sizes{0, 1, 2, 3, 4, 5};
  for (std::size_t piece : {9u * 1024, 3u * 4096}) {
    for (std::size_t k : {1u, 2u, 3u})
      for (std::size_t delta : {0u, 1u, 2u, 3u})
        for (int sign : {-1, 1}) sizes.push_back(k * piece + static_cast<std::size_t>(sign) * delta);
  }
  for (std::size_t n : sizes) {
    const std::string raw = random_bytes(n, rng);
    EXPECT_EQ(picture_key(raw), img_key(base64_encode(raw))) << "length " << n;
  }
  EXPECT_EQ(picture_key(""), img_key(""));
}

}  // namespace
}  // namespace orvanta::robot
