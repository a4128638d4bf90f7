#pragma once

// Turning a command description into what the child needs at exec time.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/core/result.h"
#include "velmora/pty/command.h"

namespace velmora::pty {

struct StartPlan {
  // Absolute, so that it still names the same file after the child changes directory.
  std::string program_path;
  std::vector<std::string> argv;
  std::string cwd;
  // "name=value", in ascending byte order of the names.
  std::vector<std::string> env;
};

Result<StartPlan> as_command(const CommandBuilder& command);

// The process's environment with SHELL set to get_shell(), every entry marked from_base.
std::map<std::string, EnvEntry> get_base_env();

// The account's shell from the user database, "/bin/sh" when it is missing, not UTF-8 or not
// executable.
std::string get_shell();

// "ENOENT: No such file or directory"; "UnknownErrno: Unknown errno" for unlisted numbers.
std::string errno_rendering(int code);

}  // namespace velmora::pty
