#pragma once

// The one-shot commands; each returns the process exit status.

#include "cli.h"

namespace velmora::client {

int run_list(const ListCommand& command);
int run_kill(const KillCommand& command);
int run_send(const SendCommand& command);
int run_shutdown();
int run_version();

}  // namespace velmora::client
