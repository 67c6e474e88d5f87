#include "tests/support/TestMedia.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::test {

std::filesystem::path freshDir(const std::string& name)
{
    // CTest runs every test case as its own process, two at a time: the process id keeps two
    // processes that ask for the same folder from wiping each other's files.
    std::filesystem::path dir =
        std::filesystem::path(QUILLON_TEST_WORK_DIR) / (name + "." + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

int run(const std::string& commandLine)
{
    int status = std::system(commandLine.c_str());
    if (status == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& commandLine)
{
    std::string out;
    FILE* pipe = popen(commandLine.c_str(), "r");
    if (!pipe)
        return out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    pclose(pipe);
    return out;
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::filesystem::path cliPath() { return QUILLON_CLI_PATH; }

std::filesystem::path sourceDir() { return QUILLON_SOURCE_DIR; }

}  // namespace quillon::test
