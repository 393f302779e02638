// The desktop application's side of the LumarHelper service's pipe.
//
// Each call connects to \\.\pipe\lumar_helper (retrying while the serial
// service is busy with another client or not up yet), makes sure the process
// serving the pipe is the running LumarHelper service, sends one request
// line and waits for the one reply line. Any user can try to answer on a
// pipe name: the check keeps a package path and its signature from going to
// anyone else.
//
// All text is UTF-8. Calls block the calling thread; they are safe to make
// from several threads at once.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace lumar::app {

struct Options {
  // How long, once connected, sending the request and receiving the reply
  // may take together. The helper checks a package's signature and its
  // Windows Installer properties before it answers.
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
  // How long to keep trying to connect while the pipe is busy or absent.
  std::chrono::milliseconds connect_retry{std::chrono::seconds(10)};
  // Talk to the pipe even when its server is not the LumarHelper service,
  // for tests with a helper run in the foreground. Never in a product.
  bool allow_foreground = false;
};

struct Answer {
  // False when nothing was sent: no server, the wrong server, a refused
  // argument, or the time ran out before the request went out.
  bool sent = false;
  // The reply's "ok".
  bool ok = false;
  // The reply's "error"; or, when nothing was sent or no reply came, why.
  std::string error;
};

// Asks the helper whether it is there.
Answer ping(const Options& options = {});

// Asks the helper to install the Windows Installer package at
// `package_path`, a full path (drive or UNC) the signed-in user can read.
// `minisig_file` is the whole .minisig file that minisign wrote for the
// package, as bytes. A path that is not full, holds a NUL character or is
// not UTF-8 is refused without sending anything. After an answer with `ok`,
// the application should exit: the helper closes it, installs the update
// and starts it again.
Answer request_update(std::string_view package_path, std::string_view minisig_file,
                      const Options& options = {});

}  // namespace lumar::app
