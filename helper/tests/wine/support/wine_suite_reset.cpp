// The Wine prefix (build/wine-prefix) is kept between runs, and Wine hands
// out the same process ids again on every fresh Wine machine. So that no
// test sees what an earlier run left, the whole suite starts by putting the
// prefix back into the state the tests expect, whatever an earlier run left
// (even one that was killed half-way), and ends by doing the same. That
// covers:
//   - the LumarHelper service, registered to start automatically;
//   - processes started from this build, from the test products' folders
//     or from scratch folders (foreground helpers, stand-in apps, a held
//     installer mutex), which no test ends when the test program dies;
//   - the test products installed by msiexec, and their folders;
//   - staged packages and installer logs ("lumar-update-*") in the temp
//     folders of the tests and of the service;
//   - the helper logs in the tests' and the service's ProgramData;
//   - the full edition's stand-in system tools, their DLL overrides and the
//     managed block in the prefix's hosts file;
//   - every run's scratch folders.
// A run with a failing test keeps its scratch folders and logs for a look;
// the next run removes them before its first test.
#include <gtest/gtest.h>

#include <windows.h>

#include <iostream>
#include <memory>
#include <vector>

#include "full_edition_wine_support.h"
#include "main/base/text_win32.h"
#include "main/host_actions/hosts_block.h"
#include "main/platform/processes.h"
#include "package_support.h"
#include "service_wine_support.h"
#include "wine_harness.h"

namespace lumar::test {
namespace {

bool begins_with(const std::wstring& path, const std::wstring& prefix) {
  return path.size() > prefix.size() && _wcsnicmp(path.c_str(), prefix.c_str(), prefix.size()) == 0;
}

std::wstring windows_folder() {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, n);
}

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// Where the test packages install: Lite, the full edition and another
// product.
std::vector<std::wstring> product_folders() {
  const std::wstring program_files = parent_of(kLiteFolder);
  return {kLiteFolder, program_files + L"\\Lumar KQ", program_files + L"\\Other Product"};
}

void remove_matching(const std::wstring& folder, const std::wstring& pattern) {
  for (const std::wstring& name : names_in(folder, pattern)) remove_tree(folder + L"\\" + name);
}

// Ends every process whose program lies in this build, in a test product's
// folder or in any run's scratch folder, except this test program. Only
// these tests start programs from there.
void end_leftover_processes() {
  const std::vector<std::wstring> prefixes = [] {
    std::vector<std::wstring> found;
    for (const std::wstring& folder : product_folders()) found.push_back(folder + L"\\");
    found.push_back(bin_dir() + L"\\");
    found.push_back(temp_path() + L"lumar-test-");
    return found;
  }();
  const std::unique_ptr<Processes> processes = make_win32_processes();
  const SystemResult<std::vector<ProcessEntry>> entries = processes->snapshot();
  if (!entries.has_value()) return;
  for (const ProcessEntry& entry : *entries) {
    if (entry.pid == ::GetCurrentProcessId()) continue;
    const SystemResult<ProcessHandle> process = processes->open(entry.pid, ProcessAccess::kControl);
    if (!process.has_value()) continue;
    const SystemResult<OsString> image = processes->image_path(*process);
    if (!image.has_value()) continue;
    const std::wstring path = wide(*image);
    for (const std::wstring& prefix : prefixes) {
      if (!begins_with(path, prefix)) continue;
      (void)processes->terminate(*process, 1);
      (void)processes->wait(*process, std::chrono::seconds(10));
      break;
    }
  }
}

// The full edition's stand-in tools, and the managed block in the prefix's
// hosts file with the temporary files its replacement may leave.
void restore_full_edition_machine() {
  restore_system_tools();
  const std::wstring hosts = prefix_hosts_path();
  const std::string content = read_file(hosts);
  if (content.find(kHostsBlockStart) != std::string::npos) {
    ::SetFileAttributesW(hosts.c_str(), FILE_ATTRIBUTE_NORMAL);
    write_file(hosts, rewrite_hosts_content(content, {}));
  }
  remove_matching(parent_of(hosts), L"*.lumar-*");
}

std::wstring program_data() {
  wchar_t folder[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : L"C:\\ProgramData";
}

enum class Scratch { remove, keep };

void reset_prefix(Scratch scratch) {
  // The service first: it may be a program of this build, and its process
  // ended from outside would leave the service manager waiting for it.
  EXPECT_TRUE(remove_helper_service()) << "the LumarHelper service could not be removed";
  end_leftover_processes();
  uninstall_test_products();
  for (const std::wstring& folder : product_folders()) remove_tree(folder);
  for (const std::wstring& folder :
       {temp_path(), temp_path() + L"lumar-helper", windows_folder() + L"\\Temp"}) {
    remove_matching(folder, staged_files_pattern());
  }
  restore_full_edition_machine();
  if (scratch == Scratch::keep) {
    std::cout << "Scratch folders of this run kept in " << narrow_lossy(scratch_root()) << "\n";
    return;
  }
  remove_tree(parent_of(service_log_path()));
  remove_tree(program_data() + L"\\Lumar");
  remove_matching(parent_of(scratch_root()), L"lumar-test-*");
}

class CleanPrefix final : public ::testing::Environment {
 public:
  void SetUp() override { reset_prefix(Scratch::remove); }
  void TearDown() override {
    reset_prefix(::testing::UnitTest::GetInstance()->Passed() ? Scratch::remove : Scratch::keep);
  }
};

// googletest owns the environment from here on.
[[maybe_unused]] ::testing::Environment* const clean_prefix =
    ::testing::AddGlobalTestEnvironment(std::make_unique<CleanPrefix>().release());

}  // namespace
}  // namespace lumar::test
