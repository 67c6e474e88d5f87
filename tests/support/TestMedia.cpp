#include "tests/support/TestMedia.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::test {

std::filesystem::path freshDir(const std::string& name)
{
    // CTest runs test cases in parallel processes: the process id keeps them from sharing a folder.
    auto dir = std::filesystem::path(QUILLON_TEST_WORK_DIR) / (name + "." + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

int run(const std::string& commandLine)
{
    const int status = std::system(commandLine.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& commandLine)
{
    std::string out;
    if (FILE* pipe = popen(commandLine.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

std::string contents(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::filesystem::path cliPath() { return QUILLON_CLI_PATH; }

}  // namespace quillon::test
