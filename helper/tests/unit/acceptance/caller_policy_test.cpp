#include "update/acceptance/caller_policy.h"

#include <gtest/gtest.h>

namespace lumar {
namespace {

TEST(IsAppImage, TheLastComponentIsTheAppsFileName) {
  EXPECT_FALSE(is_app_image(R"(C:\x\lumar-desktop.exe\other.exe)"));
  EXPECT_FALSE(is_app_image("xlumar-desktop.exe"));
  EXPECT_TRUE(is_app_image("lumar-desktop.exe"));
}

TEST(RunsFromFolder, ComparesTheParentFolderWithoutTrailingBackslashesOrAsciiCase) {
  EXPECT_TRUE(runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)",
                               R"(C:\Program Files\Lumar\)"));
  EXPECT_TRUE(runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)",
                               R"(c:\PROGRAM FILES\lumar\\\)"));
  EXPECT_TRUE(runs_from_folder(R"(C:\lumar-desktop.exe)", R"(C:\)"));
  // Subfolders, other folders, and no normalisation beyond the backslashes.
  EXPECT_FALSE(runs_from_folder(R"(C:\Program Files\Lumar\bin\lumar-desktop.exe)",
                                R"(C:\Program Files\Lumar\)"));
  EXPECT_FALSE(
      runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)", R"(C:/Program Files/Lumar)"));
  EXPECT_FALSE(
      runs_from_folder(R"(C:\PROGRA~1\Lumar\lumar-desktop.exe)", R"(C:\Program Files\Lumar)"));
  EXPECT_FALSE(runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)",
                                R"( C:\Program Files\Lumar)"));
  // Only A-Z fold: "Ä" and "ä" differ.
  EXPECT_FALSE(runs_from_folder("C:\\\xC3\x84pp\\lumar-desktop.exe", "C:\\\xC3\xA4pp"));
  EXPECT_TRUE(runs_from_folder("C:\\\xC3\x84pp\\lumar-desktop.exe", "c:\\\xC3\x84PP"));
}

}  // namespace
}  // namespace lumar
