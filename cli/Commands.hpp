#pragma once

namespace quillon::cli {

// The subcommands of quillon-cli. Each takes the arguments after its own name and returns the
// process's exit status.

// `quillon-cli bridge [--panel PATH]...`: the bridge with standard input and output as the page.
int runBridge(int argc, char** argv);

// `quillon-cli frames CLIP --out DIR ...`: the stills of a clip written as the app's export does.
int runFrames(int argc, char** argv);

// `quillon-cli convert PATH... --out DIR ...`: images and folders converted as images mode does.
int runConvert(int argc, char** argv);

}  // namespace quillon::cli
