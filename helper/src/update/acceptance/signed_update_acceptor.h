// Decides whether an "install_update" is carried out: every check in a fixed
// order, a private verified copy of the package, and then either a refusal
// with its reason or the installer worker started on the job. The reply
// says "accepted", not "installed": the installation runs after it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/channel/reply.h"
#include "main/channel/update_acceptor.h"
#include "main/platform/clock.h"
#include "main/service/helper_log.h"
#include "main/service/service_control_state.h"
#include "update/acceptance/caller_policy.h"
#include "update/acceptance/signature.h"
#include "update/acceptance/staging.h"
#include "update/install/install_job.h"
#include "update/install/windows_installer.h"

namespace lumar {

inline constexpr const char* kUpdateBusy = "an update is already being installed";
inline constexpr const char* kHelperStopping =
    "the helper is stopping and takes no update now; ask again once it runs";

// (package bytes, signature member) → success or the refusal text.
using SignatureCheck =
    std::function<Status(std::span<const std::uint8_t> package, std::string_view signature)>;
// The same check for a prehashed signature, from the package's digest.
using DigestCheck = std::function<Status(const PackageDigest& digest, std::string_view signature)>;
// The part of the check that needs no byte of the package: the signature
// parses and names the updater key.
using KeyCheck = std::function<Status(std::string_view signature)>;

// The signature member parses and its key id is the built-in key's; the
// failure texts are the full check's.
Status check_signature_key(std::string_view signature);

// Everything acceptance works with; each outlives the acceptance and every
// job it starts (a staged package deletes itself through `files`).
struct UpdateAcceptorContext {
  ServiceControlState& control;
  HelperLog& log;
  const Clock& clock;
  StagingFolder& files;
  WindowsInstaller& installer;
  Processes& processes;
  InstallWorker& worker;
  // The checks against the built-in updater key unless a test hands in its
  // own. Without a digest check the package is not hashed while it is read.
  SignatureCheck verify_signature = [](std::span<const std::uint8_t> package,
                                       std::string_view signature) {
    return verify_package_signature(package, signature);
  };
  DigestCheck verify_digest = [](const PackageDigest& digest, std::string_view signature) {
    return verify_package_digest(digest, signature);
  };
  KeyCheck check_key = check_signature_key;
};

class SignedUpdateAcceptor final : public UpdateAcceptor {
 public:
  explicit SignedUpdateAcceptor(UpdateAcceptorContext context) : context_(std::move(context)) {}

  // For a prehashed signature, the package is hashed piece by piece while
  // the client's file is read, so the check needs no pass of its own.
  std::unique_ptr<IncrementalHash> start_package_hash(const std::string& signature) override;

  // Before the package is opened: a signature that is not the updater key's
  // is refused (and logged) without the file being read at all, so a large
  // file signed by anyone else costs the serial server nothing. While an
  // update runs the request is turned away here, as acceptance would.
  Status check_before_read(const std::string& signature) override;

  // An exception from the checks (no memory for the read-back, say) still
  // deletes the staged package and gives the flag and the stop acceptance
  // back; it then goes on to the request's boundary.
  Reply accept_update(Bytes package, const std::string& signature, OpenedCaller caller,
                      std::unique_ptr<IncrementalHash> hash) override;

 private:
  // Steps 2 to 17, run while `lease` holds `update_in_progress` for this
  // request. A refusal comes back as its reason, with the lease still in
  // `lease`; success leaves the job, lease and all, with the worker.
  // `digest` is the package's, when it was hashed as it arrived.
  Status check_stage_and_start(Bytes package, const std::string& signature, OpenedCaller caller,
                               const std::optional<PackageDigest>& digest, UpdateLease& lease);

  UpdateAcceptorContext context_;
};

inline constexpr std::string_view kNotInstallerPackage = "not a Windows Installer package";

// Refusals that the release check words exactly as acceptance does.
std::string not_a_release_text(std::string_view upgrade_code);
std::string not_installed_text(std::string_view product_name);
std::string not_newer_text(std::string_view version, std::string_view installed);

// True when the bytes start with the compound-file header every Windows
// Installer package has. Checked before the installer opens the file.
bool is_compound_file(std::span<const std::uint8_t> bytes);

}  // namespace lumar
