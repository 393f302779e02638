// How the helper's threads end. Each thread entry (the detached threads, the
// service main and the reply flush) runs its body through
// `guard_thread_body`, the one place where a thread's work may end in an
// exception: nothing thrown below it, not even bad_alloc for a large
// package, leaves the thread or ends the process.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "main/service/helper_log.h"

namespace lumar {

// "{operation}: internal error: {what}"
std::string internal_error_text(std::string_view operation, std::string_view what);

// The text of the exception being handled: its what() when it is a
// std::exception, "unknown exception" otherwise. Call only inside a catch.
std::string current_exception_text() noexcept;

// Logs "{operation}: internal error: {what}". Never throws: a line that
// cannot even be formatted is dropped.
void log_internal_error(HelperLog& log, std::string_view operation, std::string_view what) noexcept;

// Runs `body`; an exception it throws is logged as an internal error of
// `operation` and goes no further. Returns false when that happened.
template <class Body>
bool guard_thread_body(HelperLog& log, std::string_view operation, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    log_internal_error(log, operation, current_exception_text());
    return false;
  }
}

}  // namespace lumar
