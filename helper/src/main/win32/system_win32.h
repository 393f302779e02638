// Win32 implementations of the small portable seams of the entry and log.
#pragma once

#include <memory>

#include "main/client_files.h"
#include "main/clock.h"
#include "main/command_line.h"
#include "main/environment.h"
#include "main/log_file.h"
#include "main/process_exit.h"

namespace lumar {

std::unique_ptr<Environment> make_win32_environment();
std::unique_ptr<Clock> make_win32_clock();
std::unique_ptr<LogFile> make_win32_log_file();
std::unique_ptr<ClientFiles> make_win32_client_files();
std::unique_ptr<ProcessExit> make_win32_process_exit();
std::unique_ptr<Console> make_win32_console();

}  // namespace lumar
