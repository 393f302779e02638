#include "update/win32/update_acceptance_win32.h"

#include "update/update_acceptance.h"
#include "update/win32/process_identity_win32.h"
#include "update/win32/staging_win32.h"
#include "update/win32/win32_installer.h"
#include "update/win32/windows_installer_win32.h"

namespace lumar {

namespace {

// Owns the parts the acceptance borrows. Staged packages handed to the
// worker delete themselves through `files`, so the acceptor must live as
// long as any installer thread: the entry keeps it for the process's life.
class Win32UpdateAcceptor final : public UpdateAcceptor {
 public:
  Win32UpdateAcceptor(ServiceControlState& control, HelperLog& log, const Clock& clock,
                      const Environment& environment)
      : worker_(make_win32_install_worker(control, log, clock, environment)),
        acceptance_(UpdateAcceptanceParts{
            control, log, clock, *files_, installer_, *processes_, *worker_, {}, {}}) {}

  std::unique_ptr<PackageWatcher> watch_package(const std::string& signature) override {
    return acceptance_.watch_package(signature);
  }
  Reply accept_update(Bytes package, const std::string& signature, OpenedCaller caller,
                      std::unique_ptr<PackageWatcher> watcher) override {
    return acceptance_.accept_update(std::move(package), signature, std::move(caller),
                                     std::move(watcher));
  }

 private:
  std::unique_ptr<StagingFileSystem> files_ = make_win32_staging_file_system();
  std::unique_ptr<MsiApi> msi_ = make_win32_msi_api();
  MsiQueries installer_{*msi_};
  std::unique_ptr<ProcessQueries> processes_ = make_win32_process_queries();
  std::unique_ptr<InstallWorker> worker_;
  UpdateAcceptance acceptance_;
};

}  // namespace

std::unique_ptr<UpdateAcceptor> make_win32_update_acceptor(ServiceControlState& control,
                                                           HelperLog& log, const Clock& clock,
                                                           const Environment& environment) {
  return std::make_unique<Win32UpdateAcceptor>(control, log, clock, environment);
}

}  // namespace lumar
