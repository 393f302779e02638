#include "main/platform/thread_guard.h"

namespace lumar {

std::string internal_error_text(std::string_view operation, std::string_view what) {
  std::string text(operation);
  text += ": internal error: ";
  text += what;
  return text;
}

std::string current_exception_text() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& error) {
      return error.what();
    } catch (...) {
      return "unknown exception";
    }
  } catch (...) {
    return {};  // the text itself could not be had (no memory)
  }
}

void log_internal_error(HelperLog& log, std::string_view operation,
                        std::string_view what) noexcept {
  try {
    log.write(internal_error_text(operation, what));
  } catch (...) {
  }
}

}  // namespace lumar
