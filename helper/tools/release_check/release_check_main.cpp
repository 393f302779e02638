// lumar-release-check: the helper's own acceptance checks on a package and
// its signature, before the package is published.
//
//   lumar-release-check PACKAGE.msi SIGNATURE.minisig [--installed VERSION]
//                       [--key PUBLIC.pub] [--json] [--strict]
//
// Exits 0 when the helper would accept the package, 1 when it would refuse
// it (or, under --strict, accept it with a warning), 2 on a usage error or a
// file that cannot be read.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "libmsi_installer.h"
#include "main/base/expected.h"
#include "main/base/unique_any.h"
#include "main/channel/package_read.h"
#include "update/acceptance/base64.h"
#include "update/acceptance/release_check.h"
#include "update/acceptance/signature.h"

namespace lumar {
namespace {

int usage() {
  std::fputs(
      "usage: lumar-release-check PACKAGE.msi SIGNATURE.minisig [--installed VERSION] "
      "[--key PUBLIC.pub] [--json] [--strict]\n",
      stderr);
  return 2;
}

std::string errno_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

void close_file(std::FILE* file) { std::fclose(file); }
using UniqueFile = UniqueValue<std::FILE*, close_file>;

// The whole file, with the helper's texts for what it refuses to read.
Result<std::string> read_file(const std::string& path) {
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  if (!file) return fail("read " + path + ": " + errno_text(errno));
  struct stat status {};
  if (fstat(fileno(file.get()), &status) != 0)
    return fail("read " + path + ": " + errno_text(errno));
  if (!S_ISREG(status.st_mode)) return fail("read " + path + ": not a file on disk");
  if (static_cast<std::uint64_t>(status.st_size) > kMaxPackageSize) {
    return fail(path + " is too large to be a release");
  }
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
  if (got != bytes.size() && std::ferror(file.get())) {
    return fail("read " + path + ": " + errno_text(errno));
  }
  bytes.resize(got);
  return bytes;
}

int print(const ReleaseCheckReport& report, const ReleaseCheckArguments& args, int code) {
  const std::string text = format_release_check(report, args.json);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return code;
}

int run(const ReleaseCheckArguments& args) {
  Result<std::string> package = read_file(args.package);
  if (!package.has_value()) return print(unreadable_file_report(package.error()), args, 2);
  Result<std::string> signature = read_file(args.signature);
  if (!signature.has_value()) return print(unreadable_file_report(signature.error()), args, 2);
  // The helper gets the signature file's text as Base64, and keeps its key
  // the same way.
  std::string key_base64(updater_key_base64());
  if (args.key) {
    Result<std::string> key = read_file(*args.key);
    if (!key.has_value()) return print(unreadable_file_report(key.error()), args, 2);
    key_base64 = encode_base64(*key);
  }
  const std::string signature_member = encode_base64(*signature);

  const std::unique_ptr<WindowsInstaller> installer = make_libmsi_installer();
  ReleaseCheckInput input;
  input.package =
      std::span(reinterpret_cast<const std::uint8_t*>(package->data()), package->size());
  input.package_path = args.package;
  input.signature_member = signature_member;
  input.key_base64 = key_base64;
  input.installed = args.installed;
  const ReleaseCheckReport report = run_release_check(input, *installer);
  return print(report, args, release_check_exit_code(report, args.strict));
}

}  // namespace
}  // namespace lumar

int main(int argc, char** argv) {
  const std::optional<lumar::ReleaseCheckArguments> args = lumar::parse_release_check_arguments(
      std::vector<std::string>(argv + 1, argv + argc), /*key_allowed=*/true);
  if (!args) return lumar::usage();
  return lumar::run(*args);
}
