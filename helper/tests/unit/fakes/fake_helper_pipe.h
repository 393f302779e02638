// The helper's pipe as the application's library sees it, scripted by the
// test: whether connecting works, who serves it, how writes go and what the
// server answers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper_pipe.h"

namespace lumar::test {

class FakeHelperPipe final : public app::HelperPipe {
 public:
  struct Piece {
    std::string bytes;
    app::Transfer::End end = app::Transfer::End::kDone;
  };

  // Script.
  std::optional<std::string> connect_error;
  std::optional<std::string> server_refusal;
  std::size_t write_chunk = 1 << 20;              // bytes taken per write at most
  std::optional<std::size_t> writes_stall_after;  // then the next write times out
  std::deque<Piece> reply;                        // then the server closes its end

  // What the library did.
  std::chrono::milliseconds connect_within{-1};
  bool server_checked = false;
  std::string written;
  std::vector<app::Deadline> deadlines;

  Result<std::unique_ptr<app::HelperConnection>> connect(
      std::chrono::milliseconds within) override {
    connect_within = within;
    if (connect_error) return fail(*connect_error);
    return std::unique_ptr<app::HelperConnection>(std::make_unique<Connection>(*this));
  }

 private:
  class Connection final : public app::HelperConnection {
   public:
    explicit Connection(FakeHelperPipe& pipe) : pipe_(pipe) {}
    std::optional<std::string> check_server() override {
      pipe_.server_checked = true;
      return pipe_.server_refusal;
    }
    app::Transfer write(std::string_view bytes, app::Deadline deadline) override {
      pipe_.deadlines.push_back(deadline);
      std::size_t room = std::min(bytes.size(), pipe_.write_chunk);
      if (pipe_.writes_stall_after) {
        room = std::min(room, *pipe_.writes_stall_after - pipe_.written.size());
        if (room == 0) return {app::Transfer::End::kTimedOut, 0, ""};
      }
      pipe_.written.append(bytes.substr(0, room));
      return {app::Transfer::End::kDone, room, ""};
    }
    app::Transfer read(std::string& into, app::Deadline deadline) override {
      pipe_.deadlines.push_back(deadline);
      if (pipe_.reply.empty()) return {app::Transfer::End::kDone, 0, ""};
      const Piece piece = pipe_.reply.front();
      pipe_.reply.pop_front();
      into += piece.bytes;
      return {piece.end, piece.bytes.size(), ""};
    }

   private:
    FakeHelperPipe& pipe_;
  };
};

}  // namespace lumar::test
