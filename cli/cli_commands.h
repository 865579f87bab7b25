// The commands of korven-darir-cli, run through the program's own
// procedures (connection sequence, GET, SEND with its read-back, the run
// and video loops) on the command line's back end.
#pragma once

#include "cli/cli_backend.h"
#include "cli/cli_options.h"

#include <cstdio>

namespace korven::cli {

// Runs the command; `out` takes its results, `err` its errors (one line
// each) and, when `progress`, how far it has come. Returns the exit status.
int RunCommand(const Options& options, CliBackend& backend, std::FILE* out, std::FILE* err,
               bool progress);
// Asks a running stream or video command to end as if its count was reached
// (an interrupt); safe to call from a signal handler.
void RequestStop();

} // namespace korven::cli
