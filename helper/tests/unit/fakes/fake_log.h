// The helper's log over a file in memory.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_environment.h"
#include "main/helper_log.h"
#include "main/log_file.h"

namespace lumar::test {

// One list in which fakes record every visible effect in order, so that a
// test can check the order of effects across several seams.
using Events = std::vector<std::string>;

// Keeps the text written to each file and, in order, every message without
// its time stamp; with an event list, also records each message there as
// "log {message}".
class FakeLogFile final : public LogFile {
 public:
  explicit FakeLogFile(Events* events = nullptr) : events_(events) {}

  std::vector<std::string> folders_created;
  std::map<std::string, std::string> files;
  std::vector<std::string> messages;
  bool fail_open = false;  // nothing can be written

  void create_folders(std::string_view folder) override { folders_created.emplace_back(folder); }
  void append(std::string_view path, std::string_view line) override {
    if (fail_open) return;
    files[std::string(path)] += line;
    // "{yyyy-mm-dd hh:mm:ss} {message}\n"
    std::string message(line.substr(20, line.size() - 21));
    if (events_ != nullptr) events_->push_back("log " + message);
    messages.push_back(std::move(message));
  }

 private:
  Events* events_;
};

// A log with everything it needs, whose messages tests can read back; with
// an event list, its file records each message there too.
struct RecordingLog {
  explicit RecordingLog(Events* events = nullptr) : file(events) {}

  FakeEnvironment environment;
  FakeClock clock;
  FakeLogFile file;
  HelperLog log{environment, clock, file};

  const std::vector<std::string>& lines() const { return file.messages; }
};

}  // namespace lumar::test
