#pragma once

#include <filesystem>
#include <string>

namespace quillon::test {

// A fresh, empty folder under the build tree's test-media folder, unique to this process.
std::filesystem::path freshDir(const std::string& name);

// Runs a shell command line; returns its exit status (-1 when it could not be started).
int run(const std::string& commandLine);

// Runs a shell command line and returns what it printed on standard output.
std::string capture(const std::string& commandLine);

// Quotes text for a POSIX shell.
std::string shellQuote(const std::string& text);

// The bytes of a file; empty when it cannot be read.
std::string contents(const std::filesystem::path& file);

// The quillon-cli executable of this build.
std::filesystem::path cliPath();

}  // namespace quillon::test
