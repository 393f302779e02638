// The helper's own acceptance checks, run on a package before it is
// published: signature, compound-file header, the package's properties, its
// edition and, when there is something to compare with, its version. The
// same texts the helper would reply, plus what its one-line refusal cannot
// say: which keys were involved and versions Windows Installer cannot order.
//
// Portable: the caller reads the files and hands over the bytes; properties
// and installed versions come through WindowsInstaller (msi.dll on Windows,
// libmsi elsewhere).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/text.h"
#include "update/install/windows_installer.h"

namespace lumar {

struct ReleaseCheckStep {
  std::string name;  // "signature", "compound file", "properties", "edition", "version"
  bool passed = false;
  std::string text;  // what was found, or the helper's refusal text
};

struct ReleaseCheckInput {
  std::span<const std::uint8_t> package;
  OsString package_path;              // the same package, for the installer to open
  std::string_view signature_member;  // Base64 of the whole .minisig file
  std::string_view key_base64;        // Base64 of the trusted public-key file
  // The version to compare with. Without one, `ask_installed` decides
  // whether the installer is asked for the installed version of the
  // package's family (as the helper does) or no comparison is made.
  std::optional<std::string> installed;
  bool ask_installed = false;
};

struct ReleaseCheckReport {
  std::vector<ReleaseCheckStep> steps;  // in the helper's order, up to the first refusal
  std::vector<std::string> notes;       // e.g. the two key ids of a key mismatch
  std::vector<std::string> warnings;    // each "warning: …"
  bool accepted = false;
  std::string product_name;  // the edition's, once known
  std::string version;       // the package's ProductVersion, once read
  std::string refusal;       // the helper's exact text when refused

  // "accepted: {product name} {version}" or "refused: {text}".
  std::string verdict_line() const;
};

// The command line both programs take:
//   PACKAGE.msi SIGNATURE.minisig [--installed VERSION] [--key PUBLIC.pub] [--json] [--strict]
// --key only where `key_allowed`. Nothing when the arguments are not that.
struct ReleaseCheckArguments {
  std::string package;
  std::string signature;
  std::optional<std::string> installed;
  std::optional<std::string> key;
  bool json = false;
  bool strict = false;
};
std::optional<ReleaseCheckArguments> parse_release_check_arguments(
    const std::vector<std::string>& args, bool key_allowed);

ReleaseCheckReport run_release_check(const ReleaseCheckInput& input, WindowsInstaller& installer);

// Plain: one line per check ("{name}: ok: {text}" or "{name}: refused:
// {text}"), the notes, the warnings, and last the verdict line. JSON: one
// object with "checks" (name, outcome "passed" or "refused", text), "notes",
// "warnings", "accepted" and "verdict" (the verdict line). Both end in a
// line feed.
std::string format_release_check(const ReleaseCheckReport& report, bool json);

// 0 when accepted, 1 when refused, and 1 as well under `strict` when any
// warning was given.
int release_check_exit_code(const ReleaseCheckReport& report, bool strict);

// A file that could not be read, with the helper's text for it
// ("read {path}: {error}", "{path} is too large to be a release").
ReleaseCheckReport unreadable_file_report(std::string text);

// Ways a version the helper accepts still misleads Windows Installer, which
// orders only major.minor.build within 255.255.65535. `installed` is the
// version the package replaces, when known and older.
std::vector<std::string> version_warnings(std::string_view version,
                                          const std::optional<std::string>& installed);

}  // namespace lumar
