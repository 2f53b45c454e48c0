// The command line of tavrolctl: subcommands, their arguments and options,
// all checked before anything is sent to an adapter.
#pragma once

#include <cstdio>

#include "invocation.h"

namespace tavrol::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Fills `invocation` and returns -1 to go on; or prints help, the version or
// what is wrong, and returns the exit code (0 for help and version, 2 for a
// usage error or a bad profile).
int ParseCommandLine(int argc, const char* const* argv, Invocation* invocation, std::FILE* out, std::FILE* err);

}  // namespace tavrol::cli
