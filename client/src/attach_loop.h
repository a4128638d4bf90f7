#pragma once

// `velmora attach`: the terminal connected to one session until detach, exit or failure.

#include "cli.h"

namespace velmora::client {

// Runs the attachment; returns the process exit status.
int run_attach(const AttachCommand& command);

}  // namespace velmora::client
