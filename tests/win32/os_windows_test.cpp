// The Windows operating-system pieces of the libraries.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/os.hpp"
#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"
#include "processing/picture_file.hpp"

namespace orvanta::os {
namespace {

int function_in_the_test_program() {
  return 1;
}

TEST(WindowsOs, LibraryPathNamesTheFileThatHoldsTheAddress) {
  const auto program = win32::testing::utf8_path(win32::make_shell()->executable());
  const auto robot = library_path_of(reinterpret_cast<const void*>(&local_time));
  EXPECT_TRUE(robot.is_absolute()) << robot;
  EXPECT_EQ(robot.filename(), ORVANTA_ROBOT_FILE_NAME);
  EXPECT_TRUE(std::filesystem::is_regular_file(robot)) << robot;
  EXPECT_TRUE(std::filesystem::equivalent(robot.parent_path(), program.parent_path())) << robot;

  const auto self = library_path_of(reinterpret_cast<const void*>(&function_in_the_test_program));
  EXPECT_TRUE(std::filesystem::equivalent(self, program)) << self;

  const auto heap = std::make_unique<int>(0);
  EXPECT_THROW(library_path_of(heap.get()), OSError);
}

// The C runtime's zone for the duration of a test: TZ cleared, so that it
// follows the system's time zone as on a Windows machine. Wine hands the
// Linux TZ (a zone name the C runtime cannot read) to every program.
class SystemZone : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    _putenv_s("TZ", "");
    _tzset();
  }
  void TearDown() override {
    _putenv_s("TZ", saved_.c_str());
    _tzset();
  }

 private:
  std::string saved_;
};

std::tm windows_local_time(std::time_t t) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = (static_cast<unsigned long long>(t) + 11'644'473'600ULL) * 10'000'000ULL;
  const FILETIME file_time{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc, local;
  EXPECT_TRUE(FileTimeToSystemTime(&file_time, &utc));
  EXPECT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  std::tm fields{};
  fields.tm_year = local.wYear - 1900;
  fields.tm_mon = local.wMonth - 1;
  fields.tm_mday = local.wDay;
  fields.tm_hour = local.wHour;
  fields.tm_min = local.wMinute;
  fields.tm_sec = local.wSecond;
  return fields;
}

std::string text(const std::tm& f) {
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour,
                f.tm_min, f.tm_sec);
  return out;
}

TEST_F(SystemZone, LocalTimeMatchesWindowsOwnConversion) {
  TIME_ZONE_INFORMATION zone;
  GetTimeZoneInformation(&zone);
  ASSERT_EQ(zone.Bias, 300) << "run under TZ=America/New_York (ctest sets it)";
  const struct {
    std::time_t t;
    const char* local;
    int dst;
  } cases[] = {
      {86400, "1970-01-01 19:00:00", 0},      {1700000000, "2023-11-14 17:13:20", 0},
      {1710053999, "2024-03-10 01:59:59", 0},  // the last second before summer time
      {1710054000, "2024-03-10 03:00:00", 1},  // 02:00 never happens
      {1720000000, "2024-07-03 05:46:40", 1}, {1730613599, "2024-11-03 01:59:59", 1},  // 01:00 to 02:00 happens twice
      {1730613600, "2024-11-03 01:00:00", 0}, {2000000000, "2033-05-17 23:33:20", 1},
  };
  for (const auto& c : cases) {
    const std::tm fields = local_time(c.t);
    EXPECT_EQ(text(fields), c.local) << c.t;
    EXPECT_EQ(text(fields), text(windows_local_time(c.t))) << c.t;
    EXPECT_EQ(fields.tm_isdst, c.dst) << c.t;
    EXPECT_EQ(make_local_time(fields), c.t) << c.t;
  }
}

TEST_F(SystemZone, MakeLocalTimeNormalisesAndRefusesWhatItCannotRepresent) {
  std::tm day32{};
  day32.tm_year = 2024 - 1900;
  day32.tm_mon = 0;
  day32.tm_mday = 32;
  day32.tm_hour = 12;
  day32.tm_isdst = -1;
  EXPECT_EQ(make_local_time(day32), 1706806800);  // 2024-02-01 12:00 EST

  std::tm before_epoch = day32;
  before_epoch.tm_year = 1969 - 1900;
  before_epoch.tm_mday = 1;
  EXPECT_THROW(make_local_time(before_epoch), ValueError);
  EXPECT_THROW(local_time(-1), ValueError);
}

// A profile folder and a picture named in Chinese: the UTF-8 path the
// system keeps is opened as the wide path it stands for, by the OS layer and
// by the picture reader, whatever the ANSI code page.
TEST(WindowsOs, FilesWithChinesePathsAreReadThroughTheirWidePaths) {
  win32::testing::ScratchDir scratch;
  const std::string dir_utf8 = utf8_of(scratch.path()) + "\\微信文件\\图片";
  const std::string file_utf8 = dir_utf8 + "\\截图 二〇二六.png";
  const std::filesystem::path file = path_from_utf8(file_utf8);
  EXPECT_EQ(file.filename().wstring(), L"截图 二〇二六.png");
  EXPECT_EQ(utf8_of(file), file_utf8);
  std::filesystem::create_directories(file.parent_path());

  std::string bytes = "\x89PNG\r\n\x1a\n";
  for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>(i * 7));
  {
    FILE* out = _wfopen(file.wstring().c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    std::fclose(out);
  }
  EXPECT_EQ(read_file(file_utf8), bytes);
  EXPECT_EQ(robot::read_picture_file(file_utf8), bytes);

  EXPECT_THROW(read_file(dir_utf8 + "\\没有这个文件.png"), OSError);
  EXPECT_THROW(robot::read_picture_file(dir_utf8 + "\\没有这个文件.png"), OSError);
  EXPECT_THROW(read_file(std::string("bad\xff.png")), ValueError);
}

// The current directory comes back as UTF-8, also when named in Chinese.
TEST(WindowsOs, CurrentDirectoryIsUtf8) {
  win32::testing::ScratchDir scratch;
  const auto dir = scratch.path() / L"工作目录";
  std::filesystem::create_directories(dir);
  const auto saved = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const std::string current = current_directory();
  std::filesystem::current_path(saved);
  EXPECT_TRUE(std::filesystem::equivalent(path_from_utf8(current), dir)) << current;
  EXPECT_NE(current.find("工作目录"), std::string::npos) << current;
}

}  // namespace
}  // namespace orvanta::os
