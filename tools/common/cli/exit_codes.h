// The exit codes the tools share with scripts, as sysexits names them.
#ifndef TZ52_TOOLS_COMMON_CLI_EXIT_CODES_H
#define TZ52_TOOLS_COMMON_CLI_EXIT_CODES_H

constexpr int kExitCodeUsage = 64;      // the command line or a configuration is wrong
constexpr int kExitCodeFileError = 74;  // a file could not be read or written (an I/O error)

#endif  // TZ52_TOOLS_COMMON_CLI_EXIT_CODES_H
