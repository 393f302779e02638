// Command lines built by main/windows_paths, split again by the system's own
// parser: every argument must come back exactly, under either quoting rule;
// and the real helper's answer to the command lines it does not serve.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

std::vector<std::string> split_by_system(const std::string& line) {
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(wide(line).c_str(), &count);
  const UniqueLocal owned(argv);
  std::vector<std::string> split;
  if (!argv) return split;
  for (int i = 0; i < count; ++i) split.push_back(narrow_lossy(argv[i]));
  return split;
}

TEST(CommandLineWine, CommandLineToArgvWGivesTheArgumentsBack) {
  const std::vector<std::vector<std::string>> lists = {
      {"a b", "c", "tab\there"},
      {R"(say "hi")", R"(")", R"("")", R"(a"b)"},
      {R"(C:\dir\)", R"(C:\my dir\)", R"(\\server\share\)", R"(C:\a\\b c)"},
      {"", "x", ""},
      {R"(\)"},
      {R"(\\)", R"(a\"b)", R"(a\\"b c)", R"(\")", R"(x \\)"},
      {"/i", R"(C:\Windows\System Temp\lumar-update-1-2.msi)", "/l*v",
       R"(C:\Windows\System Temp\lumar-update-1-2.log)", "MSIRESTARTMANAGERCONTROL=Disable"},
      {"\xC3\x84 \xE2\x82\xAC", "\xF0\x9F\x98\x80\\"},
  };
  const std::string program = R"(C:\Program Files\Lumar KQ\lumar-helper.exe)";
  for (const QuoteRule rule : {QuoteRule::kStandard, QuoteRule::kProgramAlwaysQuoted}) {
    for (const std::vector<std::string>& arguments : lists) {
      const std::string line = command_line(program, arguments, rule);
      std::vector<std::string> expected{program};
      expected.insert(expected.end(), arguments.begin(), arguments.end());
      EXPECT_EQ(split_by_system(line), expected) << line;
    }
  }
  // A program without a space is left bare by the usual rule.
  EXPECT_EQ(split_by_system(command_line("tasklist", {"/FI", "PID eq 4"})),
            (std::vector<std::string>{"tasklist", "/FI", "PID eq 4"}));
}

TEST(CommandLine, VariantPrintsDesktopAndUnknownModesPrintUsage) {
  const RunResult variant = run(quote(helper_exe()) + L" variant extra args");
  EXPECT_EQ(variant.exit_code, 0u);
  EXPECT_EQ(variant.out, "desktop\n");
  EXPECT_EQ(variant.err, "");

  const RunResult none = run(quote(helper_exe()));
  EXPECT_EQ(none.exit_code, 2u);
  EXPECT_EQ(none.err, "usage: lumar-helper [install|uninstall|run|daemon|variant] (got '')\n");
  EXPECT_EQ(none.out, "");

  const RunResult upper = run(quote(helper_exe()) + L" --Run");
  EXPECT_EQ(upper.exit_code, 2u);
  EXPECT_EQ(upper.err,
            "usage: lumar-helper [install|uninstall|run|daemon|variant] (got '--Run')\n");
}

}  // namespace
}  // namespace lumar::test
