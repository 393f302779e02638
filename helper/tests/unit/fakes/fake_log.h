// The helper's log over folders and files in memory.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_environment.h"
#include "main/platform/log_file.h"
#include "main/service/helper_log.h"

namespace lumar::test {

// One list in which fakes record every visible effect in order, so that a
// test can check the order of effects across several seams.
using Events = std::vector<std::string>;

// Keeps the text written to each file and, in order, every message without
// its time stamp; with an event list, also records each message there as
// "log {message}". Folders and files are the helper's own regular ones
// unless `facts` says otherwise for a path.
class FakeLogFile final : public LogFile {
 public:
  explicit FakeLogFile(Events* events = nullptr) : events_(events) {}

  std::vector<std::string> folders_created;
  std::map<std::string, std::string> files;
  std::map<std::string, LogEntryFacts> facts;  // overrides, by path
  std::vector<std::string> messages;
  bool fail_open = false;  // nothing can be opened

  std::unique_ptr<OpenLogEntry> open_folder(std::string_view folder) override {
    if (fail_open) return nullptr;
    const std::string path(folder);
    if (!facts.contains(path)) {
      folders_created.push_back(path);
      facts[path] = LogEntryFacts{.directory = true, .trusted_owner = true};
    }
    return std::make_unique<Entry>(*this, path);
  }
  std::unique_ptr<OpenLogEntry> open_file(std::string_view path) override {
    if (fail_open) return nullptr;
    files[std::string(path)];  // created when missing
    return std::make_unique<Entry>(*this, std::string(path));
  }

 private:
  class Entry final : public OpenLogEntry {
   public:
    Entry(FakeLogFile& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    std::optional<LogEntryFacts> facts() override {
      if (const auto found = owner_.facts.find(path_); found != owner_.facts.end()) {
        return found->second;
      }
      return LogEntryFacts{.trusted_owner = true, .size = owner_.files[path_].size()};
    }
    bool append(std::string_view line) override {
      owner_.files[path_] += line;
      // "{yyyy-mm-dd hh:mm:ss} {message}\n"
      std::string message(line.substr(20, line.size() - 21));
      if (owner_.events_ != nullptr) owner_.events_->push_back("log " + message);
      owner_.messages.push_back(std::move(message));
      return true;
    }
    bool rename_replacing(std::string_view new_path) override {
      owner_.files[std::string(new_path)] = std::move(owner_.files[path_]);
      owner_.files.erase(path_);
      return true;
    }

   private:
    FakeLogFile& owner_;
    std::string path_;
  };

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
