// What an accepted update hands to the installer worker.
#pragma once

#include <memory>
#include <string>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/service/service_control_state.h"
#include "update/acceptance/caller_policy.h"

namespace lumar {

// The helper's private copy of a package, and the name of the installer's
// log beside it, taken when the package was staged. Destroying it closes the
// read handle (if one is held) and deletes the file and the log, unless the
// log is to be kept; a failed delete is ignored.
class StagedPackage {
 public:
  virtual ~StagedPackage() = default;
  virtual const OsString& path() const = 0;
  virtual const OsString& log_path() const = 0;
  // A failed installation leaves its log for whoever looks into it.
  virtual void keep_log() = 0;
};

struct InstallJob {
  // Declared first so that it goes last: the flag is given back only once
  // the staged package is deleted and the caller's handle closed.
  UpdateLease lease;
  std::unique_ptr<StagedPackage> package;  // absent: restart the caller only
  // The version is installed already: only the caller is started again. The
  // package, if the job has one, is not installed; it stays until the app is
  // back, as the trace from which the recovery would start the app should
  // the helper die while waiting for it.
  bool restart_only = false;
  std::string version;  // the package's ProductVersion
  // The package's UpgradeCode as read: the app that is started again is the
  // one in this product's install location, read after the installer ran.
  std::string upgrade_code;
  RequestCaller caller;
};

// Starts the installer worker on a thread of its own, not joined. On success
// the job has been moved into the worker; on failure (the thread could not
// be created) the job is left untouched and the error says why.
class InstallWorker {
 public:
  virtual ~InstallWorker() = default;
  virtual Status start(std::unique_ptr<InstallJob>& job) = 0;
};

}  // namespace lumar
