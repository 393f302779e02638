// A ChildPrograms that records what would have been started and answers as
// scripted, program by program.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "main/host_actions/child_programs.h"

namespace lumar {

class FakeChildPrograms : public ChildPrograms {
 public:
  struct Call {
    std::string program;
    std::vector<std::string> args;
    bool captured = false;
    bool operator==(const Call&) const = default;
  };
  struct Answer {
    std::uint32_t exit_code = 0;
    std::string output;
    std::optional<std::string> start_error;  // the program cannot be started
    // run_captured's own capture fails after the program was started
    std::optional<std::string> capture_error;
  };

  // Programs without an answer cannot be started.
  void answer(const std::string& program, Answer answer) { answers_[program] = std::move(answer); }

  Result<std::uint32_t> run(std::string_view program,
                            const std::vector<std::string>& args) override {
    auto answer = record(program, args, false);
    if (!answer.has_value()) return fail(std::move(answer).error());
    return answer->exit_code;
  }

  Expected<CapturedRun, CaptureError> run_captured(std::string_view program,
                                                   const std::vector<std::string>& args) override {
    auto answer = record(program, args, true);
    if (!answer.has_value()) {
      return Unexpected(CaptureError{CaptureError::Kind::kNotStarted, std::move(answer).error()});
    }
    if (answer->capture_error) {
      return Unexpected(CaptureError{CaptureError::Kind::kCaptureFailed, *answer->capture_error});
    }
    return CapturedRun{answer->exit_code, answer->output};
  }

  std::vector<Call> calls;

 private:
  Result<Answer> record(std::string_view program, const std::vector<std::string>& args,
                        bool captured) {
    calls.push_back({std::string(program), args, captured});
    auto it = answers_.find(std::string(program));
    if (it == answers_.end()) {
      return fail("The system cannot find the file specified. (os error 2)");
    }
    if (it->second.start_error) return fail(*it->second.start_error);
    return it->second;
  }

  std::map<std::string, Answer> answers_;
};

}  // namespace lumar
