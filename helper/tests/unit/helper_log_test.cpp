#include "main/helper_log.h"

#include <gtest/gtest.h>

#include "fakes/fake_log.h"

namespace lumar {
namespace {

TEST(HelperLog, TimeStampsAreZeroPaddedOnA24HourClock) {
  EXPECT_EQ(format_time_stamp({2024, 3, 5, 7, 8, 9}), "2024-03-05 07:08:09");
  EXPECT_EQ(format_time_stamp({2025, 1, 1, 0, 0, 0}), "2025-01-01 00:00:00");
  EXPECT_EQ(format_time_stamp({987, 12, 31, 23, 59, 59}), "0987-12-31 23:59:59");
  EXPECT_EQ(format_time_stamp({12345, 1, 2, 3, 4, 5}), "12345-01-02 03:04:05");
}

TEST(HelperLog, WritesOneLinePerMessageUnderProgramData) {
  test::RecordingLog log;
  log.environment.values["ProgramData"] = R"(D:\Data\)";
  log.log.write("service: running");
  log.log.write("two\nlines");
  EXPECT_EQ(log.file.folders_created.front(), R"(D:\Data\Lumar)");
  EXPECT_EQ(log.file.files[R"(D:\Data\Lumar\helper.log)"],
            "2024-03-05 07:08:09 service: running\n2024-03-05 07:08:09 two\nlines\n");
}

TEST(HelperLog, FallsBackToTheDefaultFolderAndKeepsAnEmptyValue) {
  test::RecordingLog log;
  EXPECT_EQ(log.log.path(), R"(C:\ProgramData\Lumar\helper.log)");
  log.environment.values["ProgramData"] = "";
  EXPECT_EQ(log.log.path(), R"(\Lumar\helper.log)");
  log.environment.values["ProgramData"] = R"(C:\Other)";
  EXPECT_EQ(log.log.path(), R"(C:\Other\Lumar\helper.log)");  // worked out afresh each time
}

TEST(HelperLog, AFileThatCannotBeOpenedIsNotTheCallersProblem) {
  test::RecordingLog log;
  log.file.fail_open = true;
  log.log.write("error: lost");
  EXPECT_TRUE(log.file.files.empty());
}

}  // namespace
}  // namespace lumar
