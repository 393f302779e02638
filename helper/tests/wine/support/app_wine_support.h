// Copies of the stand-in desktop app for the Wine tests of finding, closing
// and starting the app: each test gets its own folder with its own copy, so
// that the copies of one test are never mistaken for another's. And the
// copy the Lite test packages install, asking the helper for an update.
#pragma once

#include <windows.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "main/base/text_win32.h"
#include "main/platform/processes.h"
#include "package_support.h"
#include "update/app/app_processes.h"
#include "wine_harness.h"

namespace lumar::test {

// The stand-in app as the Lite test packages install it.
inline std::wstring installed_app() { return std::wstring(kLiteFolder) + L"\\lumar-desktop.exe"; }

// The file the stand-in app in `folder` records its starts and replies in.
inline std::wstring app_starts_file(const std::wstring& folder = kLiteFolder) {
  return folder + L"\\lumar-desktop-starts.txt";
}

// One line of the stand-in's record file.
struct AppStart {
  std::string pid, session, current_folder, program_data, command_line;
};

// The starts recorded beside the stand-in app in `folder`.
inline std::vector<AppStart> read_app_starts(const std::wstring& folder) {
  std::vector<AppStart> found;
  std::istringstream lines(read_file(app_starts_file(folder)));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (fields.size() == 6 && fields[0] == "start") {
      found.push_back({fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
  }
  return found;
}

// Waits (30 s at most) until `count` starts have been recorded in `folder`.
inline std::vector<AppStart> wait_for_app_starts(const std::wstring& folder, std::size_t count) {
  std::vector<AppStart> found;
  wait_until(std::chrono::seconds(30), [&] {
    found = read_app_starts(folder);
    return found.size() >= count;
  });
  return found;
}

// The replies the stand-in app in `folder` recorded
// ("reply<TAB>{pid}<TAB>{line}").
inline std::vector<std::string> app_replies(const std::wstring& folder = kLiteFolder) {
  std::vector<std::string> replies;
  std::istringstream lines(read_file(app_starts_file(folder)));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("reply\t", 0) == 0) replies.push_back(line.substr(line.find('\t', 6) + 1));
  }
  return replies;
}

// Starts `app` (a copy of the stand-in) asking for the test package
// `package` with its signature; `mode` "update" quits after the reply,
// "update-stay" stays up.
inline Child ask_for_update(const std::wstring& package, const wchar_t* mode = L"update",
                            const std::wstring& app = installed_app()) {
  return Child(quote(app) + L" " + mode + L" " + quote(package_path(package)) + L" " +
                   quote(signature_path(package)),
               {}, false);
}

class AppCopy {
 public:
  // Copies lumar-desktop.exe into a new folder whose name holds `tag`.
  explicit AppCopy(const std::wstring& tag, const std::wstring& sub_folder = L"") {
    folder_ = make_temp_folder(tag);
    if (!sub_folder.empty()) {
      folder_ += L"\\" + sub_folder;
      ::CreateDirectoryW(folder_.c_str(), nullptr);
    }
    exe_ = folder_ + L"\\lumar-desktop.exe";
    ::CopyFileW(program_exe(L"lumar-desktop").c_str(), exe_.c_str(), TRUE);
  }

  const std::wstring& folder() const { return folder_; }
  const std::wstring& exe() const { return exe_; }
  std::string exe_text() const { return narrow_lossy(exe_); }

  // Starts a copy with the quoted path alone: it stays up until killed.
  Child start(const std::wstring& arguments = L"") const {
    return Child(quote(exe_) + arguments, {}, false);
  }

  std::vector<AppStart> starts() const { return read_app_starts(folder_); }

  std::vector<AppStart> wait_for_starts(std::size_t count) const {
    return wait_for_app_starts(folder_, count);
  }

 private:
  std::wstring folder_;
  std::wstring exe_;
};

// Ends every copy of `exe` still running, whoever started it (the helper's
// restarts are nobody's child).
inline void kill_copies(const std::wstring& exe) {
  const std::unique_ptr<Processes> processes = make_win32_processes();
  for (const AppInstance& copy : find_app_instances(*processes, narrow_lossy(exe))) {
    (void)processes->terminate(copy.process, 1);
    (void)processes->wait(copy.process, std::chrono::seconds(10));
  }
}

}  // namespace lumar::test
