#include "main/helper_log.h"

#include <cstdio>

#include "main/base/windows_paths.h"
#include "main/product.h"

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
}  // namespace

std::string HelperLog::path() const { return join_path(log_folder(environment_), kLogFileName); }

void HelperLog::write(std::string_view message) {
  const std::string file = path();
  file_.create_folders(parent_folder(file).value_or(""));
  std::string line = format_time_stamp(clock_.local_time());
  line += ' ';
  line += message;
  line += '\n';
  file_.append(file, line);
}

}  // namespace lumar
