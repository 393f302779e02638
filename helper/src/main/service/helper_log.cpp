#include "main/service/helper_log.h"

#include <cstdio>

#include "main/base/windows_paths.h"
#include "main/service/log_text.h"
#include "main/service/product.h"

namespace lumar {

std::string format_time_stamp(const LocalTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return buffer;
}

namespace {
constexpr std::string_view kDefaultProgramData = R"(C:\ProgramData)";

std::string log_folder(const Environment& environment) {
  // An empty value is used as it is: the path is then relative.
  const std::string base =
      environment.get("ProgramData").value_or(std::string(kDefaultProgramData));
  return join_path(base, kLogFolderName);
}

// The folder is used only when it is a real folder that nobody but the
// helper and the administrators can have made or changed.
bool may_use_folder(OpenLogEntry& folder) {
  const std::optional<LogEntryFacts> facts = folder.facts();
  return facts && facts->directory && !facts->reparse_point && !facts->reached_elsewhere &&
         facts->trusted_owner;
}

// The file is written only when it is a regular file of such an owner with
// one name, so that no line lands in a file someone else chose; its size
// is what the rotation needs.
std::optional<std::uint64_t> usable_file_size(OpenLogEntry& file) {
  const std::optional<LogEntryFacts> facts = file.facts();
  if (!facts || facts->directory || facts->reparse_point || facts->reached_elsewhere ||
      !facts->trusted_owner || facts->links != 1) {
    return std::nullopt;
  }
  return facts->size;
}

}  // namespace

std::string HelperLog::path() const { return join_path(log_folder(environment_), kLogFileName); }

void HelperLog::write(std::string_view message) noexcept {
  try {
    const std::lock_guard lock(mutex_);
    report_held_back(clock_.monotonic_now());
    append_line(message);
  } catch (...) {
    // Logging never fails for the caller.
  }
}

void HelperLog::write_client_caused(std::string_view message) noexcept {
  try {
    const std::lock_guard lock(mutex_);
    const auto now = clock_.monotonic_now();
    report_held_back(now);
    if (take_client_line(now)) append_line(message);
  } catch (...) {
    // Logging never fails for the caller.
  }
}

bool HelperLog::take_client_line(std::chrono::steady_clock::time_point now) {
  if (!budget_.window_start || now - *budget_.window_start >= kClientLineWindow) {
    budget_.window_start = now;
    budget_.written = 0;
  }
  if (budget_.written < kClientLinesPerMinute) {
    ++budget_.written;
    return true;
  }
  ++budget_.held_back;
  return false;
}

void HelperLog::report_held_back(std::chrono::steady_clock::time_point now) {
  if (budget_.held_back == 0 || now - *budget_.window_start < kClientLineWindow) return;
  const std::uint64_t held_back = budget_.held_back;
  budget_.held_back = 0;
  append_line("install_update: " + std::to_string(held_back) + " more refusals not logged");
}

void HelperLog::append_line(std::string_view message) {
  const std::string folder_path = log_folder(environment_);
  const std::string file_path = join_path(folder_path, kLogFileName);
  std::string line = format_time_stamp(clock_.local_time());
  line += ' ';
  line += escape_log_text(message);
  line += '\n';

  // Held until the line is written, so the folder checked is the folder
  // written in.
  const std::unique_ptr<OpenLogEntry> folder = file_.open_folder(folder_path);
  if (!folder || !may_use_folder(*folder)) return;
  std::unique_ptr<OpenLogEntry> file = file_.open_file(file_path);
  if (!file) return;
  const std::optional<std::uint64_t> size = usable_file_size(*file);
  if (!size) return;
  // A file that cannot be renamed is still written: the bound on the
  // lines a client can cause keeps its growth slow.
  const bool full = *size > 0 && *size + line.size() > kMaxLogFileBytes;
  if (full && file->rename_replacing(join_path(folder_path, kOldLogFileName))) {
    file = file_.open_file(file_path);
    if (!file || !usable_file_size(*file)) return;
  }
  file->append(line);
}

}  // namespace lumar
