#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon::test {

// Limits placed on a `quillon-cli bridge` child with setrlimit before it starts. Zero means no
// limit. Under AddressSanitizer the address-space limit is not applied (its shadow memory alone
// reserves terabytes of address space); the peak resident size is still checked by the tests.
struct ChildLimits {
    std::uint64_t addressSpaceBytes = 4ull << 30;  // RLIMIT_AS
    std::uint64_t fileSizeBytes = 0;               // RLIMIT_FSIZE; SIGXFSZ is ignored in the child
    std::chrono::seconds timeout{120};             // then the child is killed and the run fails
};

// One page call printed by the child: the function name and its JSON argument.
struct PageCall {
    std::string name;
    nlohmann::json payload;
};

// A running `quillon-cli bridge` with its standard input and output as pipes.
class ChildBridge {
public:
    // wrapper: words put before the executable, e.g. {"setpriv", "--reuid=65534", ...}.
    explicit ChildBridge(const ChildLimits& limits = {}, const std::vector<std::string>& args = {},
                         const std::vector<std::string>& wrapper = {});
    ~ChildBridge();
    ChildBridge(const ChildBridge&) = delete;
    ChildBridge& operator=(const ChildBridge&) = delete;

    // Sends one line to the child's standard input.
    void send(const std::string& line);

    // The next line the child printed; nothing at the end of its output or at the deadline.
    std::optional<std::string> readLine();

    // Reads lines until the reply to request id and returns it (every line read is kept in
    // lines()); nothing when the output ends or the deadline passes first.
    std::optional<nlohmann::json> waitReply(std::int64_t id);

    // Closes standard input, reads the rest of the output and waits for the child to end.
    void finish();

    const std::vector<std::string>& lines() const { return lines_; }
    std::vector<PageCall> calls() const;
    std::vector<nlohmann::json> payloadsOf(const std::string& name) const;
    // Every reply printed, by request id, in order (a request answered twice appears twice).
    std::vector<nlohmann::json> replies() const;

    bool timedOut() const { return timedOut_; }
    bool exitedCleanly() const { return exited_ && exitStatus_ == 0; }
    int exitStatus() const { return exitStatus_; }
    int termSignal() const { return termSignal_; }
    double seconds() const { return seconds_; }
    long maxRssKiB() const { return maxRssKiB_; }
    int pid() const { return pid_; }
    std::string describe() const;  // a summary for failure messages

private:
    bool fillBuffer();

    int pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point deadline_;
    bool timedOut_ = false;
    bool finished_ = false;
    bool exited_ = false;
    int exitStatus_ = -1;
    int termSignal_ = 0;
    double seconds_ = 0;
    long maxRssKiB_ = 0;
};

// "{"id":N,"cmd":C,"args":A}" as one line.
std::string commandLine(std::int64_t id, const std::string& cmd,
                        const nlohmann::json& args = nlohmann::json::object());

// Runs a whole script of lines through a child and waits for it to end.
ChildBridge& runScript(ChildBridge& child, const std::vector<std::string>& lines);

// Whether this build is instrumented with AddressSanitizer or ThreadSanitizer.
bool underSanitizer();

// Files in dir whose names start with ".quillon-" (temporary files of an unfinished write).
std::vector<std::filesystem::path> temporaryFilesIn(const std::filesystem::path& dir);

}  // namespace quillon::test
