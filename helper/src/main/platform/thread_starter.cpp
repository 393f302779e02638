#include "main/platform/thread_starter.h"

#include <system_error>
#include <thread>

namespace lumar {

Status StdThreadStarter::start_detached(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return {};
  } catch (const std::system_error& error) {
    return fail(error.what());
  }
}

}  // namespace lumar
