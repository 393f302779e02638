// The full edition's host actions on the real machine.
#pragma once

#include <memory>

#include "main/host_actions/child_programs.h"
#include "main/host_actions/host_actions.h"
#include "main/host_actions/hosts_file.h"
#include "main/platform/environment.h"

namespace lumar {

class SystemHostActions final : public HostActions {
 public:
  // `env` must outlive this object.
  SystemHostActions(std::unique_ptr<ChildPrograms> programs, std::unique_ptr<HostsFile> hosts,
                    const Environment& env)
      : programs_(std::move(programs)), hosts_(std::move(hosts)), env_(env) {}

  Reply kill(std::uint64_t pid) override;
  Reply write_hosts(const std::vector<std::string>& domains) override;

 private:
  std::unique_ptr<ChildPrograms> programs_;
  std::unique_ptr<HostsFile> hosts_;
  const Environment& env_;
};

}  // namespace lumar
