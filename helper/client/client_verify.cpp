// verify PACKAGE.msi SIGNATURE.minisig [--installed VERSION] [--json] [--strict]
//
// The built-in updater key, the package's properties through msi.dll and,
// without --installed, the version of the package's family installed here:
// what the helper of this build would answer, less the caller's checks.
#include "client_verify.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "main/channel/client_files.h"
#include "main/channel/package_read.h"
#include "update/acceptance/base64.h"
#include "update/acceptance/release_check.h"
#include "update/acceptance/signature.h"
#include "update/install/windows_installer.h"

namespace lumar {
namespace {

// Read as the helper reads a client's package, with its texts.
Result<Bytes> read_whole(ClientFiles& files, const std::string& path) {
  Expected<Bytes, PackageReadError> bytes = read_package(files, path, kMaxPackageSize);
  if (bytes.has_value()) return std::move(bytes).value();
  switch (bytes.error().fault) {
    case PackageReadFault::kTooLarge:
      return fail(path + " is too large to be a release");
    case PackageReadFault::kNotOnDisk:
      return fail("read " + path + ": not a file on disk");
    case PackageReadFault::kSystem:
      break;
  }
  return fail("read " + path + ": " + bytes.error().system_error);
}

int print(const ReleaseCheckReport& report, bool json, int code) {
  const std::string text = format_release_check(report, json);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return code;
}

}  // namespace

int run_verify(const std::vector<std::string>& args) {
  const std::optional<ReleaseCheckArguments> parsed =
      parse_release_check_arguments(args, /*key_allowed=*/false);
  if (!parsed) {
    std::fprintf(stderr, "usage: %s\n", kVerifyUsage);
    return 2;
  }
  const std::unique_ptr<ClientFiles> files = make_win32_client_files();
  Result<Bytes> package = read_whole(*files, parsed->package);
  if (!package.has_value()) return print(unreadable_file_report(package.error()), parsed->json, 2);
  Result<Bytes> signature = read_whole(*files, parsed->signature);
  if (!signature.has_value()) {
    return print(unreadable_file_report(signature.error()), parsed->json, 2);
  }
  const std::string signature_member = encode_base64(
      std::string_view(reinterpret_cast<const char*>(signature->data()), signature->size()));

  const std::unique_ptr<Environment> environment = make_win32_environment();
  const std::unique_ptr<WindowsInstaller> installer = make_win32_windows_installer(*environment);
  ReleaseCheckInput input;
  input.package = *package;
  input.package_path = parsed->package;
  input.signature_member = signature_member;
  input.key_base64 = updater_key_base64();
  input.installed = parsed->installed;
  input.ask_installed = true;
  const ReleaseCheckReport report = run_release_check(input, *installer);
  return print(report, parsed->json, release_check_exit_code(report, parsed->strict));
}

}  // namespace lumar
