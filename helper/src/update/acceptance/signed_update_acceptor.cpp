#include "update/acceptance/signed_update_acceptor.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "main/base/text.h"
#include "main/base/windows_paths.h"
#include "main/service/log_text.h"
#include "main/service/product.h"
#include "update/acceptance/signature.h"
#include "update/acceptance/streamed_digest.h"
#include "update/install/version.h"

namespace lumar {

namespace {

constexpr std::array<std::uint8_t, 8> kCompoundFileSignature{0xD0, 0xCF, 0x11, 0xE0,
                                                             0xA1, 0xB1, 0x1A, 0xE1};

}  // namespace

std::string not_a_release_text(std::string_view upgrade_code) {
  return "package is not a Lumar KQ release (UpgradeCode " + std::string(upgrade_code) + ")";
}

std::string not_installed_text(std::string_view product_name) {
  return std::string(product_name) + " is not installed through Windows Installer on this machine";
}

std::string not_newer_text(std::string_view version, std::string_view installed) {
  return "package " + std::string(version) + " is not newer than the installed " +
         std::string(installed);
}

bool is_compound_file(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kCompoundFileSignature.size() &&
         std::equal(kCompoundFileSignature.begin(), kCompoundFileSignature.end(), bytes.begin());
}

Status check_signature_key(std::string_view signature) {
  const std::optional<SignatureKeyIds> ids = read_key_ids(signature, updater_key_base64());
  // What does not parse gets the full check's own text, which is found
  // before any byte of the package is looked at.
  if (!ids) return verify_package_signature({}, signature);
  if (ids->signature != ids->key) return fail(std::string(kSignatureMismatch));
  return {};
}

Status SignedUpdateAcceptor::check_before_read(const std::string& signature) {
  if (context_.control.update_in_progress.load()) return fail(kUpdateBusy);
  if (!context_.check_key) return {};
  Status key = context_.check_key(signature);
  // A client can send such a request at will: its refusal is held to the
  // log's bound for client-caused lines.
  if (!key.has_value())
    context_.log.write_client_caused("install_update: refused: " + cut_foreign_piece(key.error()));
  return key;
}

std::unique_ptr<IncrementalHash> SignedUpdateAcceptor::start_package_hash(
    const std::string& signature) {
  // A legacy signature signs the package itself: nothing to do beside the
  // read. One that does not parse gets its own text from the full check.
  if (!context_.verify_digest || !is_prehashed_signature(signature)) return nullptr;
  return std::make_unique<StreamedDigest>();
}

Reply SignedUpdateAcceptor::accept_update(Bytes package, const std::string& signature,
                                          OpenedCaller caller,
                                          std::unique_ptr<IncrementalHash> hash) {
  // The flag belongs to the update that set it: a busy refusal leaves it,
  // and the service's status, alone, and writes nothing.
  UpdateLease lease = UpdateLease::acquire(context_.control);
  if (!lease) return Reply::failure(kUpdateBusy);
  // The hash has seen `package` whole unless it was told the pieces were
  // lost; either way it is done with before anything else.
  std::optional<PackageDigest> digest;
  if (auto* streamed = dynamic_cast<StreamedDigest*>(hash.get())) digest = streamed->finish();
  hash.reset();

  // Both sides write before they read: this request has set
  // update_in_progress and only now reads stop_requested, while the stop
  // handler sets stop_requested before it reads update_in_progress (both
  // sequentially consistent). One of the two sees the other, so no update
  // starts in a process about to end. A stop that the handler then takes
  // back may cost this request a refusal; it never lets both go ahead.
  // An exception from the checks leaves through this frame, so the lease
  // is given back after the staged package and the caller's handle are gone.
  Status outcome =
      context_.control.stop_requested.load() ? Status(fail(kHelperStopping)) : Status();
  if (outcome.has_value()) {
    outcome =
        check_stage_and_start(std::move(package), signature, std::move(caller), digest, lease);
  }
  if (outcome.has_value()) return Reply::success();

  context_.log.write_client_caused("install_update: refused: " +
                                   cut_foreign_piece(outcome.error()));
  lease.release();
  return Reply::failure(outcome.error());
}

Status SignedUpdateAcceptor::check_stage_and_start(Bytes package, const std::string& signature,
                                                   OpenedCaller opened,
                                                   const std::optional<PackageDigest>& digest,
                                                   UpdateLease& lease) {
  const std::uint32_t caller_pid = opened.pid;
  const Status valid = digest ? context_.verify_digest(*digest, signature)
                              : context_.verify_signature(package, signature);
  if (!valid.has_value()) return valid;
  if (!is_compound_file(package)) return fail(std::string(kNotInstallerPackage));

  // Staging proves the copy on disk equal to the verified bytes, so the
  // signature holds for what the installer will read.
  Result<std::unique_ptr<StagedPackage>> staged =
      stage_package(context_.files, context_.clock, package);
  if (!staged.has_value()) return fail(std::move(staged).error());
  std::unique_ptr<StagedPackage> staged_package = std::move(*staged);
  Bytes().swap(package);  // the copy on disk is all that is needed from here

  Result<MsiPackageInfo> info = context_.installer.read_package_properties(staged_package->path());
  if (!info.has_value()) return fail(std::move(info).error());
  const std::optional<ProductVariant> edition = classify_upgrade_code(info->upgrade_code);
  if (!edition) {
    return fail(not_a_release_text(info->upgrade_code));
  }
  // Windows Installer is asked with the code exactly as the package has it.
  const std::optional<std::string> installed =
      installed_version(context_.installer, info->upgrade_code);
  if (!installed) {
    return fail(not_installed_text(edition->product_name));
  }

  Result<RequestCaller> caller = identify_process(context_.processes, std::move(opened));
  if (!caller.has_value()) return fail(std::move(caller).error());

  const VersionOrder order = compare_versions(info->product_version, *installed);
  const std::optional<std::string> location =
      install_location(context_.installer, info->upgrade_code);
  const bool restart_only =
      order == VersionOrder::kEqual && location && runs_from_folder(caller->image_path, *location);
  if (order != VersionOrder::kGreater && !restart_only) {
    return fail(not_newer_text(info->product_version, *installed));
  }
  if (std::optional<std::string> refusal = caller_refusal(caller->image_path, location)) {
    return fail(std::move(*refusal));
  }

  auto job = std::make_unique<InstallJob>();
  job->version = info->product_version;
  job->upgrade_code = info->upgrade_code;
  // The app may ask for the version it already runs from the installed
  // folder: nothing to install then, only the app to start again.
  job->restart_only = restart_only;
  job->package = std::move(staged_package);
  job->caller = std::move(*caller);

  const std::string pid = std::to_string(caller_pid);
  context_.log.write(restart_only ? "install_update: " + cut_foreign_piece(job->version) +
                                        " is already installed; restarting pid " + pid + " on it"
                                  : "install_update: accepted " + cut_foreign_piece(job->version) +
                                        " from pid " + pid);
  context_.control.set_stop_accepted(false);
  job->lease = std::move(lease);
  if (Status started = context_.worker.start(job); !started.has_value()) {
    // The job is still here and goes with this frame: the staged package is
    // deleted and the caller's handle closed. The lease goes back to the
    // request, to be released once the refusal is logged.
    lease = std::move(job->lease);
    return started;
  }
  return {};
}

}  // namespace lumar
