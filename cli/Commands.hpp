#pragma once

namespace quillon::cli {

// The subcommands of quillon-cli. Each takes the arguments after its own name and returns the
// process's exit status.

// `quillon-cli bridge [--panel PATH]...`: the bridge with standard input and output as the page.
int runBridge(int argc, char** argv);

}  // namespace quillon::cli
