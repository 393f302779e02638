#include "update/acceptance/release_check.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "main/service/product.h"
#include "update/acceptance/signature.h"
#include "update/acceptance/signed_update_acceptor.h"
#include "update/install/version.h"

namespace lumar {

namespace {

// What Windows Installer keeps of a ProductVersion: major.minor.build.
constexpr std::uint64_t kMaxMajor = 255;
constexpr std::uint64_t kMaxMinor = 255;
constexpr std::uint64_t kMaxBuild = 65535;
constexpr std::size_t kOrderedFields = 3;

std::uint64_t field(const std::vector<std::uint64_t>& numbers, std::size_t index) {
  return index < numbers.size() ? numbers[index] : 0;
}

class Steps {
 public:
  explicit Steps(ReleaseCheckReport& report) : report_(report) {}

  void pass(std::string name, std::string text) {
    report_.steps.push_back({std::move(name), true, std::move(text)});
  }
  ReleaseCheckReport& refuse(std::string name, std::string text) {
    report_.steps.push_back({std::move(name), false, text});
    report_.accepted = false;
    report_.refusal = std::move(text);
    return report_;
  }

 private:
  ReleaseCheckReport& report_;
};

}  // namespace

std::string ReleaseCheckReport::verdict_line() const {
  if (accepted) return "accepted: " + product_name + " " + version;
  return "refused: " + refusal;
}

std::vector<std::string> version_warnings(std::string_view version,
                                          const std::optional<std::string>& installed) {
  std::vector<std::string> warnings;
  const std::optional<std::vector<std::uint64_t>> numbers = parse_version(version);
  if (!numbers) return warnings;
  const std::string quoted(version);
  const auto limit = [&](std::size_t index, std::string_view part, std::uint64_t max) {
    if (field(*numbers, index) > max) {
      warnings.push_back("warning: ProductVersion " + quoted + ": the " + std::string(part) +
                         " version " + std::to_string(field(*numbers, index)) + " is above " +
                         std::to_string(max) + ", which Windows Installer cannot order");
    }
  };
  limit(0, "major", kMaxMajor);
  limit(1, "minor", kMaxMinor);
  limit(2, "build", kMaxBuild);

  if (!installed) return warnings;
  const std::optional<std::vector<std::uint64_t>> old = parse_version(*installed);
  if (!old || compare_versions(version, *installed) != VersionOrder::kGreater) return warnings;
  bool same_ordered_fields = true;
  for (std::size_t i = 0; i < kOrderedFields; ++i) {
    same_ordered_fields = same_ordered_fields && field(*numbers, i) == field(*old, i);
  }
  if (same_ordered_fields) {
    warnings.push_back("warning: " + quoted + " differs from the installed " + *installed +
                       " only in a fourth or later field, which Windows Installer ignores when "
                       "it upgrades: both products would stay installed side by side");
  }
  return warnings;
}

ReleaseCheckReport run_release_check(const ReleaseCheckInput& input, WindowsInstaller& installer) {
  ReleaseCheckReport report;
  Steps steps(report);

  const std::optional<SignatureKeyIds> ids = read_key_ids(input.signature_member, input.key_base64);
  const Status signature =
      verify_package_signature(input.package, input.signature_member, input.key_base64);
  if (!signature.has_value()) {
    // The one-line refusal cannot say which key signed; the ids show
    // whether the package was signed with another key or merely altered.
    if (ids && ids->signature != ids->key) {
      report.notes.push_back("signature key id: " + key_id_text(ids->signature));
      report.notes.push_back("trusted key id: " + key_id_text(ids->key));
    }
    return steps.refuse("signature", signature.error());
  }
  steps.pass("signature", ids ? "signed by key " + key_id_text(ids->key) : "valid");

  if (!is_compound_file(input.package)) {
    return steps.refuse("compound file", std::string(kNotInstallerPackage));
  }
  steps.pass("compound file", "compound-file header present");

  Result<MsiPackageInfo> info = installer.read_package_properties(input.package_path);
  if (!info.has_value()) return steps.refuse("properties", std::move(info).error());
  report.version = info->product_version;
  steps.pass("properties",
             "UpgradeCode " + info->upgrade_code + ", ProductVersion " + info->product_version);

  const std::optional<ProductVariant> edition = classify_upgrade_code(info->upgrade_code);
  if (!edition) {
    return steps.refuse("edition", not_a_release_text(info->upgrade_code));
  }
  report.product_name = std::string(edition->product_name);
  steps.pass("edition", report.product_name);

  std::optional<std::string> installed = input.installed;
  if (!installed && input.ask_installed) {
    // The installer is asked with the code exactly as the package has it.
    installed = installed_version(installer, info->upgrade_code);
    if (!installed) {
      return steps.refuse("version", not_installed_text(report.product_name));
    }
  }
  if (installed) {
    if (compare_versions(info->product_version, *installed) != VersionOrder::kGreater) {
      return steps.refuse("version", not_newer_text(info->product_version, *installed));
    }
    steps.pass("version", info->product_version + " is newer than the installed " + *installed);
  }

  report.accepted = true;
  report.warnings = version_warnings(info->product_version, installed);
  return report;
}

std::string format_release_check(const ReleaseCheckReport& report, bool json) {
  if (json) {
    nlohmann::json checks = nlohmann::json::array();
    for (const ReleaseCheckStep& step : report.steps) {
      checks.push_back({{"name", step.name},
                        {"outcome", step.passed ? "passed" : "refused"},
                        {"text", step.text}});
    }
    const nlohmann::json object = {{"checks", std::move(checks)},
                                   {"notes", report.notes},
                                   {"warnings", report.warnings},
                                   {"accepted", report.accepted},
                                   {"verdict", report.verdict_line()}};
    // Texts from the package may hold anything; never let one stop the dump.
    return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  std::string text;
  for (const ReleaseCheckStep& step : report.steps) {
    text += step.name + (step.passed ? ": ok: " : ": refused: ") + step.text + "\n";
  }
  for (const std::string& note : report.notes) text += note + "\n";
  for (const std::string& warning : report.warnings) text += warning + "\n";
  return text + report.verdict_line() + "\n";
}

int release_check_exit_code(const ReleaseCheckReport& report, bool strict) {
  if (!report.accepted) return 1;
  return strict && !report.warnings.empty() ? 1 : 0;
}

ReleaseCheckReport unreadable_file_report(std::string text) {
  ReleaseCheckReport report;
  Steps(report).refuse("read", std::move(text));
  return report;
}

std::optional<ReleaseCheckArguments> parse_release_check_arguments(
    const std::vector<std::string>& args, bool key_allowed) {
  ReleaseCheckArguments parsed;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool has_value = i + 1 < args.size();
    if (args[i] == "--json") {
      parsed.json = true;
    } else if (args[i] == "--strict") {
      parsed.strict = true;
    } else if (args[i] == "--installed" && has_value && !parsed.installed) {
      parsed.installed = args[++i];
    } else if (key_allowed && args[i] == "--key" && has_value && !parsed.key) {
      parsed.key = args[++i];
    } else if (args[i].starts_with("--")) {
      return std::nullopt;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2) return std::nullopt;
  parsed.package = files[0];
  parsed.signature = files[1];
  return parsed;
}

}  // namespace lumar
