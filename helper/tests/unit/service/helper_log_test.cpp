#include "main/service/helper_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fakes/fake_log.h"
#include "main/service/log_text.h"

namespace lumar {
namespace {

constexpr const char* kFolder = R"(C:\ProgramData\Lumar)";
constexpr const char* kPath = R"(C:\ProgramData\Lumar\helper.log)";
constexpr const char* kOldPath = R"(C:\ProgramData\Lumar\helper.old.log)";

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
            "2024-03-05 07:08:09 service: running\n2024-03-05 07:08:09 two\\nlines\n");
}

TEST(HelperLog, FallsBackToTheDefaultFolderAndKeepsAnEmptyValue) {
  test::RecordingLog log;
  EXPECT_EQ(log.log.path(), kPath);
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

// A folder or file anyone but the helper could have made, or one that leads
// elsewhere, is never written; no other path is tried.
TEST(HelperLog, WritesOnlyToItsOwnFolderAndFile) {
  const LogEntryFacts folder{.directory = true, .trusted_owner = true};
  const LogEntryFacts file{.trusted_owner = true};
  const auto with = [](LogEntryFacts facts, auto change) {
    change(facts);
    return facts;
  };
  const struct {
    const char* name;
    const char* path;
    LogEntryFacts facts;
    bool written;
  } cases[] = {
      {"the helper's own folder and file", kPath, file, true},
      {"folder a junction", kFolder, with(folder, [](auto& f) { f.reparse_point = true; }), false},
      {"folder reached through a link", kFolder,
       with(folder, [](auto& f) { f.reached_elsewhere = true; }), false},
      {"folder of a foreign owner", kFolder, with(folder, [](auto& f) { f.trusted_owner = false; }),
       false},
      {"folder a file", kFolder, file, false},
      {"file a link", kPath, with(file, [](auto& f) { f.reparse_point = true; }), false},
      {"file reached through a link", kPath,
       with(file, [](auto& f) { f.reached_elsewhere = true; }), false},
      {"file of a foreign owner", kPath, with(file, [](auto& f) { f.trusted_owner = false; }),
       false},
      {"file with a second name", kPath, with(file, [](auto& f) { f.links = 2; }), false},
      {"file a folder", kPath, folder, false},
  };
  for (const auto& c : cases) {
    test::RecordingLog log;
    log.file.facts[c.path] = c.facts;
    log.log.write("service: running");
    log.log.write_client_caused("install_update: refused: no");
    EXPECT_EQ(log.file.files[kPath].empty(), !c.written) << c.name;
    EXPECT_EQ(log.file.files.size(), 1u) << c.name << ": no other file is tried";
  }
}

TEST(HelperLog, EscapesWhatCouldBreakALine) {
  const struct {
    std::string text;
    std::string logged;
  } cases[] = {
      {"a\nb\rc\td", R"(a\nb\rc\td)"},
      {std::string("nul\0x", 5), R"(nul\u0000x)"},
      {"\x1b[2J\x7f", R"(\u001b[2J\u007f)"},
      {"next\xC2\x85line \xC2\x9F", R"(next\u0085line \u009f)"},
      {"a\xE2\x80\xA8"
       "b\xE2\x80\xA9",
       R"(a\u2028b\u2029)"},
      {"lone \xED\xA0\x80 surrogate", R"(lone \ud800 surrogate)"},
      {"bad \xFF\xC3 bytes", R"(bad \xff\xc3 bytes)"},
      {R"(C:\Program Files\Lumar KQ\lumar-desktop.exe é … 😀)",
       R"(C:\Program Files\Lumar KQ\lumar-desktop.exe é … 😀)"},
  };
  for (const auto& c : cases) {
    test::RecordingLog log;
    log.log.write(c.text);
    ASSERT_EQ(log.lines().size(), 1u) << c.logged;
    EXPECT_EQ(log.lines()[0], c.logged);
    EXPECT_EQ(escape_log_text(c.logged), c.logged) << "escaping twice changes nothing";
  }
}

TEST(HelperLog, CutsForeignPiecesAtACharacterBoundary) {
  const std::string path = R"(C:\)" + std::string(99'997, 'p');
  const struct {
    std::string piece;
    std::string shown;
  } cases[] = {
      {std::string(512, 'a'), std::string(512, 'a')},
      {path, path.substr(0, 512) + "…(+99488 bytes)"},
      {std::string(511, 'a') + "é" + "z", std::string(511, 'a') + "…(+3 bytes)"},
      // Escapes count as shown: 86 of six bytes fill 516 bytes, 85 fit.
      {std::string(100, '\x01'),
       [] {
         std::string shown;
         for (int i = 0; i < 85; ++i) shown += R"(\u0001)";
         return shown + "…(+15 bytes)";
       }()},
  };
  for (const auto& c : cases) EXPECT_EQ(cut_foreign_piece(c.piece), c.shown);

  test::RecordingLog log;
  log.log.write_client_caused("install_update: refused: the requesting process " +
                              cut_foreign_piece(path) + " is not lumar-desktop.exe");
  EXPECT_LT(log.file.files[kPath].size(), 1024u);
}

TEST(HelperLog, BoundsClientCausedLinesPerMinuteButNeverItsOwn) {
  test::RecordingLog log;
  for (int i = 0; i < 100; ++i) {
    log.log.write_client_caused("install_update: refused: " + std::to_string(i));
    if (i % 25 == 0) log.log.write("service: own " + std::to_string(i));
    log.clock.now += std::chrono::milliseconds(100);
  }
  const auto count = [&](std::string_view prefix) {
    return std::count_if(log.lines().begin(), log.lines().end(),
                         [&](const std::string& line) { return line.starts_with(prefix); });
  };
  EXPECT_EQ(count("install_update: refused: "), 60);
  EXPECT_EQ(count("service: own "), 4);

  // Once the minute is over, the count comes first, once.
  log.clock.now += std::chrono::seconds(50);
  log.log.write("service: stopped");
  log.log.write_client_caused("install_update: refused: next minute");
  const std::vector<std::string> tail(log.lines().end() - 3, log.lines().end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"install_update: 40 more refusals not logged",
                                      "service: stopped", "install_update: refused: next minute"}));
}

TEST(HelperLog, RenamesAFullFileAndStartsANewOne) {
  test::RecordingLog log;
  const std::string full(kMaxLogFileBytes - 40, 'x');
  log.file.files[kPath] = full;
  log.file.files[kOldPath] = "an older one";
  log.log.write("service: fits");  // 34 bytes: the file reaches 16 MiB less 6
  EXPECT_EQ(log.file.files[kOldPath], "an older one");
  log.log.write("service: does not fit");
  EXPECT_EQ(log.file.files[kOldPath], full + "2024-03-05 07:08:09 service: fits\n");
  EXPECT_EQ(log.file.files[kPath], "2024-03-05 07:08:09 service: does not fit\n");
}

}  // namespace
}  // namespace lumar
