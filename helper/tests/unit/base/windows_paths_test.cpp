#include "main/base/windows_paths.h"

#include <gtest/gtest.h>

namespace lumar {
namespace {

struct QuoteCase {
  const char* argument;
  const char* standard;
  const char* installer;
};

TEST(WindowsPaths, QuotesAnArgumentByEitherRule) {
  const QuoteCase cases[] = {
      {R"(C:\Lumar\lumar-helper.exe)", R"(C:\Lumar\lumar-helper.exe)",
       R"(C:\Lumar\lumar-helper.exe)"},
      {R"(C:\Program Files\x.exe)", R"("C:\Program Files\x.exe")", R"("C:\Program Files\x.exe")"},
      {"", R"("")", R"("")"},
      {"a\tb", "\"a\tb\"", "\"a\tb\""},
      // Line feed, vertical tab and a quote enclose only by the usual rule.
      {"a\nb", "\"a\nb\"", "a\nb"},
      {"a\vb", "\"a\vb\"", "a\vb"},
      {R"(a"b)", R"("a\"b")", R"(a\"b)"},
      {R"(x "y")", R"("x \"y\"")", R"("x \"y\"")"},
      // Backslashes are escapes only before a quote, including the closing one.
      {R"(a\"b)", R"("a\\\"b")", R"(a\\\"b)"},
      {R"(a\\b)", R"(a\\b)", R"(a\\b)"},
      {R"(C:\dir\)", R"(C:\dir\)", R"(C:\dir\)"},
      {R"(C:\a b\)", R"("C:\a b\\")", R"("C:\a b\\")"},
      {R"(C:\a\\b c)", R"("C:\a\\b c")", R"("C:\a\\b c")"},
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(quote_argument(c.argument), c.standard) << c.argument;
    EXPECT_EQ(quote_argument(c.argument, QuoteRule::kProgramAlwaysQuoted), c.installer) << c.argument;
  }
}

TEST(WindowsPaths, CommandLineQuotesTheProgramByItsRule) {
  EXPECT_EQ(command_line(R"(C:\Lumar\lumar-helper.exe)", {"run"}),
            R"(C:\Lumar\lumar-helper.exe run)");
  EXPECT_EQ(command_line("tasklist", {"/FI", "PID eq 4", ""}), R"(tasklist /FI "PID eq 4" "")");
  // The installer's program is always enclosed, as it is.
  EXPECT_EQ(command_line(R"(C:\x\prog.exe)", {"/i", "a b"}, QuoteRule::kProgramAlwaysQuoted),
            R"("C:\x\prog.exe" /i "a b")");
  EXPECT_EQ(command_line("p", {}, QuoteRule::kProgramAlwaysQuoted), R"("p")");
}

TEST(WindowsPaths, JoinInsertsOneBackslash) {
  EXPECT_EQ(join_path(R"(C:\a)", "b"), R"(C:\a\b)");
  EXPECT_EQ(join_path(R"(C:\)", "b"), R"(C:\b)");
  EXPECT_EQ(join_path("C:/a/", "b"), R"(C:/a/\b)");
  EXPECT_EQ(join_path("", "b"), R"(\b)");
}

TEST(WindowsPaths, FileNameIsTheLastNamedComponent) {
  const std::pair<const char*, const char*> named[] = {
      {R"(C:\Program Files\Lumar KQ\lumar-desktop.exe)", "lumar-desktop.exe"},
      {R"(C:\a\app.exe\)", "app.exe"},
      {R"(C:\a\app.exe\.)", "app.exe"},
      {"C:/a/app.exe", "app.exe"},
      {"C:app.exe", "app.exe"},
      {R"(\\?\C:\a\app.exe)", "app.exe"},
      {R"(\\?\C:\a/app.exe)", "a/app.exe"},  // only backslashes separate there
      {R"(\\server\share\app.exe)", "app.exe"},
      {"app.exe", "app.exe"},
  };
  for (const auto& [path, name] : named) EXPECT_EQ(file_name(path), name) << path;
  for (const char* none : {"", R"(C:\)", "C:", R"(\)", R"(C:\a\..)", R"(\\server\share\)",
                           R"(\\?\C:\)", R"(\\?\UNC\server\share)"}) {
    EXPECT_EQ(file_name(none), std::nullopt) << none;
  }
}

TEST(WindowsPaths, ParentKeepsTheRootSeparator) {
  const std::pair<const char*, const char*> parents[] = {
      {R"(C:\Program Files\Lumar KQ\lumar-desktop.exe)", R"(C:\Program Files\Lumar KQ)"},
      {R"(C:\app.exe)", R"(C:\)"},
      {R"(C:\a\\app.exe)", R"(C:\a)"},
      {R"(C:\a\app.exe\)", R"(C:\a)"},
      {R"(\\server\share\app.exe)", R"(\\server\share\)"},
  };
  for (const auto& [path, parent] : parents) EXPECT_EQ(parent_folder(path), parent) << path;
  for (const char* none : {"app.exe", R"(C:\)", ""}) {
    EXPECT_EQ(parent_folder(none), std::nullopt) << none;
  }
}

}  // namespace
}  // namespace lumar
