// The full edition's host actions under Wine: "kill" and "write_hosts"
// through a foreground helper's pipe. A Lite build runs the same requests and
// must refuse them without any effect. (The Win32 adapters on their own are
// in full_edition_adapters_wine_test.cpp.)
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

#include "hosts_expectations.h"
#include "main/base/text_win32.h"
#include "main/host_actions/child_programs.h"
#include "main/host_actions/hosts_block.h"
#include "main/host_actions/hosts_file.h"
#include "programs/fake_tools.h"
#include "support/full_edition_wine_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

std::optional<DWORD> pid_of_image(std::string_view image) {
  for (const fake::ProcessEntry& entry : fake::list_processes()) {
    if (equal_ascii_ci(entry.image, image)) return entry.pid;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Requests through a foreground helper of the edition this build makes.

// Puts the stand-ins in the system folder and restores the originals; keeps
// the prefix's hosts file as it was found.
class StandInMachine {
 public:
  StandInMachine() {
    for (const std::wstring tool : kStandInTools) {
      const std::wstring target = system_tool_path(tool);
      const std::wstring original = original_tool_path(tool);
      // A run that died half-way left the original in the backup.
      if (!file_exists(original)) ::CopyFileW(target.c_str(), original.c_str(), TRUE);
      ok_ = ::CopyFileW(program_exe(L"fake_" + tool).c_str(), target.c_str(), FALSE) && ok_;
      ok_ = ::RegSetKeyValueW(HKEY_CURRENT_USER, kDllOverridesKey, (tool + L".exe").c_str(), REG_SZ,
                              L"native", sizeof(L"native")) == ERROR_SUCCESS &&
            ok_;
    }
    hosts_original_ = read_file(prefix_hosts_path());
    hosts_existed_ = file_exists(prefix_hosts_path());
  }
  ~StandInMachine() {
    restore_system_tools();
    ::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_NORMAL);
    if (hosts_existed_) write_file(prefix_hosts_path(), hosts_original_);
  }
  StandInMachine(const StandInMachine&) = delete;
  StandInMachine& operator=(const StandInMachine&) = delete;
  bool ok() const { return ok_; }

  // Where the stand-ins record, for the helper (and so its children).
  std::map<std::wstring, std::wstring> environment() const {
    return {{L"LUMAR_FAKE_TOOLS_LOG", log_path}};
  }

  std::wstring log_path = make_temp_folder(L"tools") + L"\\tools.log";

 private:
  std::string hosts_original_;
  bool hosts_existed_ = false;
  bool ok_ = true;
};

class HostActionsThroughThePipe : public ForegroundHelperSuite {
 protected:
  static void SetUpTestSuite() {
    machine_.emplace();
    helper_.emplace(helper_exe(), machine_->environment());
  }
  static void TearDownTestSuite() {
    helper_.reset();
    machine_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(machine_->ok()) << "the stand-in tools could not be put in place";
    ForegroundHelperSuite::SetUp();
    if (HasFatalFailure()) return;
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

  static inline std::optional<StandInMachine> machine_;
};

#if LUMAR_EDITION_FULL

TEST_F(HostActionsThroughThePipe, KillEndsARealProcess) {
  Child target(quote(program_exe(L"fake_kill_target")), {}, false);
  ASSERT_TRUE(target.started());
  EXPECT_EQ(kill(target.pid()), kOkReply);
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
            refusal_reply("refusing to terminate protected process 'lumar-helper.exe'"));
  EXPECT_EQ(tools_log(), listed(helper_->process().pid()));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);

  // One of Wine's own system processes.
  const std::optional<DWORD> services = pid_of_image("services.exe");
  ASSERT_TRUE(services);
  ::DeleteFileW(machine_->log_path.c_str());
  EXPECT_EQ(kill(*services),
            refusal_reply("refusing to terminate protected process 'services.exe'"));
  EXPECT_EQ(tools_log(), listed(*services));
  EXPECT_EQ(pid_of_image("services.exe"), services);
}

TEST_F(HostActionsThroughThePipe, KillOfNoProcessIsRefusedOrTaskkillsFailure) {
  // 0 and ids beyond 32 bits name no Windows process: no tool runs.
  EXPECT_EQ(kill(0), refusal_reply("invalid pid"));
  EXPECT_EQ(kill(4294967301u), refusal_reply("invalid pid"));
  EXPECT_EQ(tools_log(), "");
  const std::uint64_t pid = 4294967295u;
  EXPECT_EQ(kill(pid), refusal_reply("taskkill failed (exit 128)"));
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
            kOkReply);
  EXPECT_EQ(read_file(prefix_hosts_path()),
            "127.0.0.1 localhost\n10.0.0.5 nas\n" + block_for({"name.tld"}));
  EXPECT_EQ(tools_log(), "ipconfig: /flushdns\n");

  // A second request replaces the block.
  EXPECT_EQ(write_hosts(R"(["b.tld","a.tld"])"), kOkReply);
  EXPECT_EQ(read_file(prefix_hosts_path()),
            "127.0.0.1 localhost\n10.0.0.5 nas\n" + block_for({"b.tld", "a.tld"}));
  // An empty list removes it.
  EXPECT_EQ(write_hosts("[]"), kOkReply);
  EXPECT_EQ(read_file(prefix_hosts_path()), "127.0.0.1 localhost\n10.0.0.5 nas\n");
  EXPECT_EQ(tools_log(), "ipconfig: /flushdns\nipconfig: /flushdns\nipconfig: /flushdns\n");
  EXPECT_TRUE(leftovers(system_folder() + L"\\drivers\\etc").empty());
}

TEST_F(HostActionsThroughThePipe, WriteHostsCreatesAMissingFile) {
  ASSERT_TRUE(::DeleteFileW(prefix_hosts_path().c_str()));
  EXPECT_EQ(write_hosts(R"(["n.tld"])"), kOkReply);
  EXPECT_EQ(read_file(prefix_hosts_path()), "\n" + block_for({"n.tld"}));
}

TEST_F(HostActionsThroughThePipe, WriteHostsRefusesAReadOnlyFile) {
  // Wine running as root would write it anyway: the helper checks itself.
  const std::string old_content = "127.0.0.1 localhost\n";
  write_file(prefix_hosts_path(), old_content);
  ASSERT_TRUE(::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(write_hosts(R"(["n.tld"])"),
            refusal_reply("hosts write: " + os_error_text(ERROR_ACCESS_DENIED)));
  ASSERT_TRUE(::SetFileAttributesW(prefix_hosts_path().c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(read_file(prefix_hosts_path()), old_content);
  EXPECT_EQ(tools_log(), "");  // no flush after a refusal
}

#else  // the Lite edition

TEST_F(HostActionsThroughThePipe, LiteRefusesBothWithoutAnyEffect) {
  const std::string lite = refusal_reply("Lumar KQ Lite's helper only installs updates");
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
