// The full edition's host actions under Wine: the Win32 adapters on their
// own, and "kill" and "write_hosts" through a foreground helper's pipe. A Lite
// build runs the same requests and must refuse them without any effect.
//
// Wine's tasklist prints nothing, its taskkill does not support /T and its
// ipconfig does not support /flushdns. The tests therefore put stand-ins
// (programs/fake_tasklist.cpp, fake_taskkill.cpp, fake_ipconfig.cpp) into the
// prefix's system folder under the real names and make Wine load them instead
// of its own with a "native" DLL override for each name. (The override must be
// in the registry: a WINEDLLOVERRIDES variable in the environment block that
// a Windows program hands to its child does not reach Wine's loader.) The
// stand-ins record their arguments and answer as the real tools do; the
// originals and the registry are put back after the suite.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "main/base/text_win32.h"
#include "main/child_programs.h"
#include "main/hosts_block.h"
#include "main/hosts_file.h"
#include "wine_harness.h"

namespace lumar::test {
namespace {

constexpr char kOk[] = R"({"ok":true})";
const std::string kStart(kHostsBlockStart);
const std::string kEnd(kHostsBlockEnd);

std::string failure(const std::string& text) { return R"({"ok":false,"error":")" + text + "\"}"; }

std::wstring system_folder() {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, n);
}

std::wstring prefix_hosts_path() { return system_folder() + L"\\drivers\\etc\\hosts"; }

std::string block_for(std::initializer_list<std::string_view> domains) {
  std::string out = kStart + "\n";
  for (std::string_view d : domains) {
    const std::string s(d);
    out += "127.0.0.1 " + s + "\n127.0.0.1 www." + s + "\n::1 " + s + "\n::1 www." + s + "\n";
  }
  return out + kEnd + "\n";
}

std::vector<std::wstring> files_in(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

// Our own temporary and backup files beside a replaced file.
std::vector<std::wstring> leftovers(const std::wstring& folder) {
  std::vector<std::wstring> out;
  for (const std::wstring& name : files_in(folder)) {
    if (name.find(L".lumar-") != std::wstring::npos) out.push_back(name);
  }
  return out;
}

std::optional<DWORD> pid_of_image(const wchar_t* image) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  std::optional<DWORD> pid;
  for (BOOL ok = ::Process32FirstW(snapshot, &entry); ok && !pid;
       ok = ::Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, image) == 0) pid = entry.th32ProcessID;
  }
  ::CloseHandle(snapshot);
  return pid;
}

// Opens `path` the way another program might hold it.
UniqueFile hold_open(const std::wstring& path, DWORD share) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// ---------------------------------------------------------------------------
// The hosts-file adapter, on files of its own.

class Win32HostsFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<HostsFile> file = make_win32_hosts_file();
  std::wstring folder = make_temp_folder(L"hosts");
  std::wstring path = folder + L"\\hosts";
  std::string path_utf8 = narrow_lossy(path);
};

TEST_F(Win32HostsFileTest, ReadsWholeFilesAndTakesMissingOnesAsAbsent) {
  auto missing = file->read(path_utf8);
  ASSERT_TRUE(missing) << missing.error();
  EXPECT_EQ(*missing, std::nullopt);
  auto no_folder = file->read(narrow_lossy(folder + L"\\nowhere\\hosts"));
  ASSERT_TRUE(no_folder) << no_folder.error();
  EXPECT_EQ(*no_folder, std::nullopt);

  std::string big(3 * 65536 + 17, 'x');
  big[70000] = '\0';
  big[big.size() - 1] = '\xFF';
  write_file(path, big);
  auto read = file->read(path_utf8);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, big);
}

TEST_F(Win32HostsFileTest, AFileHeldWithoutSharingCannotBeRead) {
  write_file(path, "10.0.0.5 nas\n");
  const UniqueFile held = hold_open(path, 0);
  ASSERT_TRUE(held);
  auto read = file->read(path_utf8);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), os_error_text(ERROR_SHARING_VIOLATION));
}

TEST_F(Win32HostsFileTest, ReplacesInOneStepAndLeavesNothingBehind) {
  ASSERT_TRUE(file->replace(path_utf8, "first\n"));
  EXPECT_EQ(read_file(path), "first\n");
  ASSERT_TRUE(file->replace(path_utf8, "second\n"));
  EXPECT_EQ(read_file(path), "second\n");
  ASSERT_TRUE(file->replace(path_utf8, ""));
  EXPECT_EQ(read_file(path), "");
  EXPECT_TRUE(leftovers(folder).empty());
}

TEST_F(Win32HostsFileTest, AReadOnlyFileIsRefusedAndUntouched) {
  write_file(path, "old\n");
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  const Status replaced = file->replace(path_utf8, "new\n");
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error(), os_error_text(ERROR_ACCESS_DENIED));
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_TRUE(leftovers(folder).empty());
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Win32HostsFileTest, AReplaceThatFailsAtTheLastStepKeepsTheOldFile) {
  // The new content is written out in full; only putting it in place fails,
  // because another program holds the file without sharing write or delete.
  const std::string old_content = "127.0.0.1 localhost\r\n10.0.0.5 nas\r\n";
  write_file(path, old_content);
  {
    const UniqueFile held = hold_open(path, FILE_SHARE_READ);
    ASSERT_TRUE(held);
    const Status replaced = file->replace(path_utf8, std::string(200000, 'n'));
    ASSERT_FALSE(replaced);
    EXPECT_NE(replaced.error().find("(os error "), std::string::npos) << replaced.error();
  }
  EXPECT_EQ(read_file(path), old_content);
  EXPECT_TRUE(leftovers(folder).empty());
}

TEST_F(Win32HostsFileTest, AMissingFolderIsAnError) {
  const Status replaced = file->replace(narrow_lossy(folder + L"\\nowhere\\hosts"), "x\n");
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error(), os_error_text(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(files_in(folder).empty());
}

// ---------------------------------------------------------------------------
// The child-program adapter, on the stand-in tools beside this test program
// (the system's search finds them in the program's own folder).

class Win32ChildProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override { ::SetEnvironmentVariableW(L"LUMAR_FAKE_TOOLS_LOG", log_path.c_str()); }
  void TearDown() override { ::SetEnvironmentVariableW(L"LUMAR_FAKE_TOOLS_LOG", nullptr); }

  std::unique_ptr<ChildPrograms> programs = make_win32_child_programs();
  std::wstring log_path = make_temp_folder(L"tools") + L"\\tools.log";
};

TEST_F(Win32ChildProgramsTest, CapturesOutputAndErrorAndTheExitCode) {
  auto listed = programs->run_captured(
      "fake_tasklist",
      {"/FI", "PID eq " + std::to_string(::GetCurrentProcessId()), "/FO", "CSV", "/NH"});
  ASSERT_TRUE(listed) << listed.error().text;
  EXPECT_EQ(listed->exit_code, 0u);
  EXPECT_EQ(listed->output.rfind("\"lumar_wine_tests.exe\",\"", 0), 0u) << listed->output;

  // taskkill reports a missing process on standard error.
  auto missing = programs->run_captured("fake_taskkill", {"/F", "/T", "/PID", "4294967301"});
  ASSERT_TRUE(missing) << missing.error().text;
  EXPECT_EQ(missing->exit_code, 128u);
  EXPECT_EQ(missing->output, "ERROR: The process \"4294967301\" not found.\r\n");
}

TEST_F(Win32ChildProgramsTest, PassesArgumentsThroughTheCommandLineIntact) {
  const std::vector<std::string> args = {
      "PID eq 7", "q\"uote", "back\\slash\\", "", "tail\\\\\"", "caf\xC3\xA9", "\t"};
  auto ran = programs->run("fake_ipconfig", args);
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(*ran, 1u);  // not "/flushdns": the stand-in refuses as ipconfig does
  std::string expected = "ipconfig:";
  for (std::size_t i = 0; i < args.size(); ++i) expected += (i == 0 ? " " : " | ") + args[i];
  EXPECT_EQ(read_file(log_path), expected + "\n");
}

TEST_F(Win32ChildProgramsTest, AProgramThatCannotStartIsTheSystemsError) {
  auto ran = programs->run("lumar-no-such-tool", {});
  ASSERT_FALSE(ran);
  EXPECT_EQ(ran.error(), os_error_text(ERROR_FILE_NOT_FOUND));
  auto captured = programs->run_captured("lumar-no-such-tool", {"x"});
  ASSERT_FALSE(captured);
  EXPECT_EQ(captured.error().kind, CaptureError::Kind::kNotStarted);
  EXPECT_EQ(captured.error().text, os_error_text(ERROR_FILE_NOT_FOUND));
}

TEST_F(Win32ChildProgramsTest, CapturesOutputLargerThanThePipeHolds) {
  // Read while the child writes: a child blocked on a full pipe would never
  // end, and the capture would wait for it for ever.
  std::string big;
  for (int i = 0; big.size() < 1024 * 1024; ++i) big += "line " + std::to_string(i) + "\r\n";
  const std::wstring path = make_temp_folder(L"big") + L"\\big.txt";
  write_file(path, big);
  auto typed = programs->run_captured("cmd", {"/c", "type", narrow_lossy(path)});
  ASSERT_TRUE(typed) << typed.error().text;
  EXPECT_EQ(typed->exit_code, 0u);
  EXPECT_EQ(typed->output.size(), big.size());
  EXPECT_TRUE(typed->output == big);
}

// ---------------------------------------------------------------------------
// Requests through a foreground helper of the edition this build makes.

// Puts the stand-ins in the system folder and restores the originals; keeps
// the prefix's hosts file as it was found.
class StandInMachine {
 public:
  StandInMachine() {
    for (const wchar_t* tool : {L"tasklist", L"taskkill", L"ipconfig"}) {
      const std::wstring target = system_folder() + L"\\" + tool + L".exe";
      const std::wstring backup = target + L".lumar-original";
      // A run that died half-way left the original in the backup.
      if (!file_exists(backup)) ::CopyFileW(target.c_str(), backup.c_str(), TRUE);
      ok_ =
          ::CopyFileW(program_exe(std::wstring(L"fake_") + tool).c_str(), target.c_str(), FALSE) &&
          ok_;
      tools_.push_back({target, backup});
      const std::wstring name = std::wstring(tool) + L".exe";
      ok_ = ::RegSetKeyValueW(HKEY_CURRENT_USER, kOverrides, name.c_str(), REG_SZ, L"native",
                              sizeof(L"native")) == ERROR_SUCCESS &&
            ok_;
    }
    hosts_original_ = read_file(prefix_hosts_path());
    hosts_existed_ = file_exists(prefix_hosts_path());
  }
  ~StandInMachine() {
    for (const auto& [target, backup] : tools_) {
      const std::wstring name = target.substr(target.rfind(L'\\') + 1);
      ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kOverrides, name.c_str());
      if (::CopyFileW(backup.c_str(), target.c_str(), FALSE)) ::DeleteFileW(backup.c_str());
    }
    ::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_NORMAL);
    if (hosts_existed_) write_file(prefix_hosts_path(), hosts_original_);
  }
  bool ok() const { return ok_; }

  // Where the stand-ins record, for the helper (and so its children).
  std::map<std::wstring, std::wstring> environment() const {
    return {{L"LUMAR_FAKE_TOOLS_LOG", log_path}};
  }

  std::wstring log_path = make_temp_folder(L"tools") + L"\\tools.log";

 private:
  static constexpr const wchar_t* kOverrides = L"Software\\Wine\\DllOverrides";
  std::vector<std::pair<std::wstring, std::wstring>> tools_;
  std::string hosts_original_;
  bool hosts_existed_ = false;
  bool ok_ = true;
};

class HostActionsThroughThePipe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    machine_ = new StandInMachine();
    helper_ = new ForegroundHelper(helper_exe(), machine_->environment());
  }
  static void TearDownTestSuite() {
    delete helper_;
    helper_ = nullptr;
    delete machine_;
    machine_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(machine_->ok()) << "the stand-in tools could not be put in place";
    ASSERT_TRUE(helper_->serving()) << "the helper never answered ping";
    ::DeleteFileW(machine_->log_path.c_str());
    ::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }

  static std::optional<std::string> kill(std::uint64_t pid) {
    return exchange("{\"op\":\"kill\",\"pid\":" + std::to_string(pid) + "}\n");
  }
  static std::optional<std::string> write_hosts(const std::string& domains_json) {
    return exchange("{\"op\":\"write_hosts\",\"domains\":" + domains_json + "}\n");
  }
  static std::string tools_log() { return read_file(machine_->log_path); }
  static std::string listed(std::uint64_t pid) {
    return "tasklist: /FI | PID eq " + std::to_string(pid) + " | /FO | CSV | /NH\n";
  }
  static std::string killed(std::uint64_t pid) {
    return "taskkill: /F | /T | /PID | " + std::to_string(pid) + "\n";
  }

  static StandInMachine* machine_;
  static ForegroundHelper* helper_;
};
StandInMachine* HostActionsThroughThePipe::machine_ = nullptr;
ForegroundHelper* HostActionsThroughThePipe::helper_ = nullptr;

#if LUMAR_EDITION_FULL

TEST_F(HostActionsThroughThePipe, KillEndsARealProcess) {
  Child target(quote(program_exe(L"fake_kill_target")), {}, false);
  ASSERT_TRUE(target.started());
  EXPECT_EQ(kill(target.pid()), kOk);
  // taskkill has been waited for, so the process is already gone.
  EXPECT_EQ(::WaitForSingleObject(target.handle(), 0), WAIT_OBJECT_0);
  DWORD code = 0;
  ::GetExitCodeProcess(target.handle(), &code);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(tools_log(), listed(target.pid()) + killed(target.pid()));
}

TEST_F(HostActionsThroughThePipe, KillRefusesProtectedProcessesByTheirListedName) {
  // The helper itself.
  EXPECT_EQ(kill(helper_->process().pid()),
            failure("refusing to terminate protected process 'lumar-helper.exe'"));
  EXPECT_EQ(tools_log(), listed(helper_->process().pid()));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOk);

  // One of Wine's own system processes.
  const std::optional<DWORD> services = pid_of_image(L"services.exe");
  ASSERT_TRUE(services);
  ::DeleteFileW(machine_->log_path.c_str());
  EXPECT_EQ(kill(*services), failure("refusing to terminate protected process 'services.exe'"));
  EXPECT_EQ(tools_log(), listed(*services));
  EXPECT_EQ(pid_of_image(L"services.exe"), services);
}

TEST_F(HostActionsThroughThePipe, KillOfNoProcessIsTaskkillsFailure) {
  EXPECT_EQ(kill(0), failure("invalid pid"));
  EXPECT_EQ(tools_log(), "");
  // Beyond 32 bits the id is passed on as it is.
  const std::uint64_t pid = 4294967301u;
  EXPECT_EQ(kill(pid), failure("taskkill failed (exit 128)"));
  EXPECT_EQ(tools_log(), listed(pid) + killed(pid));
}

TEST_F(HostActionsThroughThePipe, WriteHostsRewritesThePrefixHostsFile) {
  write_file(prefix_hosts_path(), "127.0.0.1 localhost\r\n10.0.0.5 nas\r\n" + kStart +
                                      "\r\n127.0.0.1 old.tld\r\n" + kEnd + "\r\n");
  // Entries whose line would say more than the name that was checked are
  // dropped like the one without a dot: "#" starts a comment, and control
  // characters have no place in a host name.
  EXPECT_EQ(write_hosts(R"(["WWW.Name.Tld/login","name.tld","intranet","wpad#.x",)"
                        R"("nul\u0000.tld","bell\u0007.tld","esc\u001b.tld","del\u007f.tld"])"),
            kOk);
  EXPECT_EQ(read_file(prefix_hosts_path()),
            "127.0.0.1 localhost\n10.0.0.5 nas\n" + block_for({"name.tld"}));
  EXPECT_EQ(tools_log(), "ipconfig: /flushdns\n");

  // A second request replaces the block.
  EXPECT_EQ(write_hosts(R"(["b.tld","a.tld"])"), kOk);
  EXPECT_EQ(read_file(prefix_hosts_path()),
            "127.0.0.1 localhost\n10.0.0.5 nas\n" + block_for({"b.tld", "a.tld"}));
  // An empty list removes it.
  EXPECT_EQ(write_hosts("[]"), kOk);
  EXPECT_EQ(read_file(prefix_hosts_path()), "127.0.0.1 localhost\n10.0.0.5 nas\n");
  EXPECT_EQ(tools_log(), "ipconfig: /flushdns\nipconfig: /flushdns\nipconfig: /flushdns\n");
  EXPECT_TRUE(leftovers(system_folder() + L"\\drivers\\etc").empty());
}

TEST_F(HostActionsThroughThePipe, WriteHostsCreatesAMissingFile) {
  ASSERT_TRUE(::DeleteFileW(prefix_hosts_path().c_str()));
  EXPECT_EQ(write_hosts(R"(["n.tld"])"), kOk);
  EXPECT_EQ(read_file(prefix_hosts_path()), "\n" + block_for({"n.tld"}));
}

TEST_F(HostActionsThroughThePipe, WriteHostsRefusesAReadOnlyFile) {
  // Wine running as root would write it anyway: the helper checks itself.
  const std::string old_content = "127.0.0.1 localhost\n";
  write_file(prefix_hosts_path(), old_content);
  ASSERT_TRUE(::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(write_hosts(R"(["n.tld"])"),
            failure("hosts write: " + os_error_text(ERROR_ACCESS_DENIED)));
  ASSERT_TRUE(::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(read_file(prefix_hosts_path()), old_content);
  EXPECT_EQ(tools_log(), "");  // no flush after a refusal
}

#else  // the Lite edition

TEST_F(HostActionsThroughThePipe, LiteRefusesBothWithoutAnyEffect) {
  const std::string lite = failure("Lumar KQ Lite's helper only installs updates");
  Child target(quote(program_exe(L"fake_kill_target")), {}, false);
  ASSERT_TRUE(target.started());
  EXPECT_EQ(kill(target.pid()), lite);
  EXPECT_TRUE(target.running());

  const std::string old_content = "127.0.0.1 localhost\r\n" + kStart + "\r\nx\r\n";
  write_file(prefix_hosts_path(), old_content);
  EXPECT_EQ(write_hosts(R"(["n.tld"])"), lite);
  EXPECT_EQ(read_file(prefix_hosts_path()), old_content);
  EXPECT_EQ(tools_log(), "");
}

#endif

}  // namespace
}  // namespace lumar::test
