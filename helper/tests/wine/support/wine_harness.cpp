#include "wine_harness.h"

#include <cwchar>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "main/base/text_win32.h"
#include "main/service/product.h"

namespace lumar::test {

std::wstring bin_dir() { return LUMAR_WIN_BIN_DIR; }
std::wstring source_dir() { return LUMAR_WIN_SOURCE_DIR; }
std::wstring helper_exe() { return bin_dir() + L"\\helper\\lumar-helper.exe"; }
std::wstring client_exe() { return bin_dir() + L"\\helper\\client\\lumar-helper-client.exe"; }
std::wstring program_exe(const std::wstring& name) {
  return bin_dir() + L"\\helper\\tests\\wine\\" + name + L".exe";
}

std::wstring temp_path() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp, n);
}

std::wstring scratch_root() {
  static const std::wstring root = [] {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    std::random_device random;
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"lumar-test-%04u%02u%02u%02u%02u%02u-%08x%08x", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, random(), random());
    return temp_path() + name;
  }();
  return root;
}

std::wstring make_temp_folder(const std::wstring& tag) {
  static int counter = 0;
  const std::wstring root = scratch_root();
  ::CreateDirectoryW(root.c_str(), nullptr);
  for (;;) {
    std::wstring folder = root + L"\\" + tag + L"-" + std::to_wstring(++counter);
    // Only a folder this call created is known to be empty and ours.
    if (::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return folder;
    }
  }
}

bool remove_tree(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ::DeleteFileW(path.c_str()) != 0;
  for (const std::wstring& name : names_in(path)) remove_tree(path + L"\\" + name);
  return ::RemoveDirectoryW(path.c_str()) != 0;
}

std::vector<std::wstring> names_in(const std::wstring& folder, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  const UniqueFind search(::FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry));
  if (!search) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search.get(), &entry));
  return names;
}

std::string read_file(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring quote(const std::wstring& argument) { return L"\"" + argument + L"\""; }

std::string json_escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\0') {
      out += "\\u0000";
    } else {
      out += c;
    }
  }
  return out;
}

std::string refusal_reply(std::string_view error) {
  return R"({"ok":false,"error":")" + json_escaped(error) + "\"}";
}

namespace {

// The current environment with `overrides` applied, as a Unicode block.
std::wstring environment_block(const std::map<std::wstring, std::wstring>& overrides) {
  std::map<std::wstring, std::wstring> variables;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != 0; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    const std::size_t eq = entry.find(L'=', 1);
    if (eq == std::wstring::npos) continue;
    variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  ::FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : overrides) {
    // Windows variable names are case-insensitive: drop other spellings.
    for (auto it = variables.begin(); it != variables.end();) {
      it = _wcsicmp(it->first.c_str(), name.c_str()) == 0 ? variables.erase(it) : std::next(it);
    }
    variables[name] = value;
  }
  std::wstring out;
  for (const auto& [name, value] : variables) out += name + L"=" + value + L'\0';
  out += L'\0';
  return out;
}

UniqueFile inheritable_file(const std::wstring& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return UniqueFile(::CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                  write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr));
}

}  // namespace

Child::Child(const std::wstring& command_line,
             const std::map<std::wstring, std::wstring>& environment, bool capture_output) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  UniqueFile out, err, in;
  if (capture_output) {
    const std::wstring folder = make_temp_folder(L"out");
    out_path_ = folder + L"\\stdout";
    err_path_ = folder + L"\\stderr";
    out = inheritable_file(out_path_, true);
    err = inheritable_file(err_path_, true);
    in = inheritable_file(L"NUL", false);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
  }
  std::wstring env = environment_block(environment);
  std::wstring cmd = command_line;
  PROCESS_INFORMATION pi{};
  if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, capture_output,
                       CREATE_UNICODE_ENVIRONMENT, env.data(), nullptr, &si, &pi)) {
    process_.reset(pi.hProcess);
    const UniqueHandle thread(pi.hThread);
    pid_ = pi.dwProcessId;
  }
}

Child::~Child() {
  if (running()) terminate();
}

bool Child::running() const {
  return process_.valid() && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

void Child::terminate() {
  if (!process_.valid()) return;
  ::TerminateProcess(process_.get(), 1);
  ::WaitForSingleObject(process_.get(), 10000);
}

std::optional<RunResult> Child::wait(std::chrono::milliseconds limit) {
  if (!process_.valid()) return std::nullopt;
  if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  RunResult result;
  ::GetExitCodeProcess(process_.get(), &result.exit_code);
  if (!out_path_.empty()) {
    result.out = read_file(out_path_);
    result.err = read_file(err_path_);
  }
  return result;
}

RunResult run(const std::wstring& command_line,
              const std::map<std::wstring, std::wstring>& environment) {
  Child child(command_line, environment, true);
  if (!child.started()) return RunResult{0xFFFFFFFF, "", "could not start"};
  std::optional<RunResult> result = child.wait(std::chrono::seconds(30));
  if (!result) return RunResult{0xFFFFFFFE, "", "timed out"};
  return *result;
}

ForegroundHelper::ForegroundHelper(const std::wstring& exe,
                                   std::map<std::wstring, std::wstring> environment)
    : program_data_(make_temp_folder(L"programdata")) {
  environment[L"ProgramData"] = program_data_;
  child_.emplace(quote(exe) + L" run", environment, true);
  // Not wait_until: a helper that has ended will never serve.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (std::chrono::steady_clock::now() < deadline && child_->running()) {
    if (exchange("{\"op\":\"ping\"}\n", std::chrono::seconds(1)) == kOkReply) {
      serving_ = true;
      break;
    }
  }
}

ForegroundHelper::~ForegroundHelper() { child_.reset(); }

UniqueFile connect_pipe(std::chrono::milliseconds within, DWORD extra_access) {
  const std::wstring name = wide(kPipeName);
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    UniqueFile pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | extra_access, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe || std::chrono::steady_clock::now() >= deadline) return pipe;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string read_reply(HANDLE pipe) {
  std::string reply;
  char buffer[1024];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    reply.append(buffer, got);
  }
  return reply;
}

std::optional<std::string> exchange(const std::string& request,
                                    std::chrono::milliseconds connect_deadline) {
  UniqueFile pipe = connect_pipe(connect_deadline);
  if (!pipe) return std::nullopt;
  DWORD written = 0;
  if (!request.empty() && !::WriteFile(pipe.get(), request.data(),
                                       static_cast<DWORD>(request.size()), &written, nullptr)) {
    return std::nullopt;
  }
  std::string reply = read_reply(pipe.get());
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

}  // namespace lumar::test
