#include "tests/hostile/ChildBridge.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestMedia.hpp"

namespace quillon::test {

namespace {

void setLimit(int resource, std::uint64_t bytes)
{
    if (bytes == 0)
        return;
    rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    ::setrlimit(resource, &limit);
}

}  // namespace

bool underSanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

ChildBridge::ChildBridge(const ChildLimits& limits, const std::vector<std::string>& args,
                         const std::vector<std::string>& wrapper)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return;

    std::vector<std::string> words = wrapper;
    words.push_back(cliPath().string());
    words.push_back("bridge");
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    started_ = std::chrono::steady_clock::now();
    deadline_ = started_ + limits.timeout;
    pid_ = ::fork();
    if (pid_ == 0) {
        // Child: only async-signal-safe calls from here to exec.
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        if (!underSanitizer())
            setLimit(RLIMIT_AS, limits.addressSpaceBytes);
        setLimit(RLIMIT_FSIZE, limits.fileSizeBytes);
        // A write past RLIMIT_FSIZE then fails with EFBIG instead of killing the process, which
        // is what a full disk looks like to the writer (ENOSPC and EFBIG take the same path).
        ::signal(SIGXFSZ, SIG_IGN);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
}

ChildBridge::~ChildBridge()
{
    if (pid_ > 0 && !finished_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (toChild_ >= 0)
        ::close(toChild_);
    if (fromChild_ >= 0)
        ::close(fromChild_);
}

void ChildBridge::send(const std::string& line)
{
    if (toChild_ < 0)
        return;
    std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(toChild_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the child is gone; its status tells the test why
        done += static_cast<std::size_t>(n);
    }
}

bool ChildBridge::fillBuffer()
{
    if (fromChild_ < 0)
        return false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut_ = true;
            return false;
        }
        pollfd p{fromChild_, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char chunk[65536];
        ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

std::optional<std::string> ChildBridge::readLine()
{
    for (;;) {
        auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            lines_.push_back(line);
            return line;
        }
        if (timedOut_ || !fillBuffer())
            return std::nullopt;
    }
}

std::optional<nlohmann::json> ChildBridge::waitReply(std::int64_t id)
{
    static const std::string kPrefix = "window.__bridgeResolveRaw(";
    while (auto line = readLine()) {
        if (line->rfind(kPrefix, 0) != 0)
            continue;
        auto reply = nlohmann::json::parse(line->substr(kPrefix.size(), line->size() - kPrefix.size() - 1),
                                           nullptr, false);
        if (!reply.is_discarded() && reply.is_object() && reply.value("id", nlohmann::json()) == id)
            return reply;
    }
    return std::nullopt;
}

void ChildBridge::finish()
{
    if (finished_ || pid_ <= 0)
        return;
    if (toChild_ >= 0) {
        ::close(toChild_);
        toChild_ = -1;
    }
    while (readLine()) {
    }
    if (timedOut_)
        ::kill(pid_, SIGKILL);
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    finished_ = true;
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    maxRssKiB_ = usage.ru_maxrss;
    exited_ = WIFEXITED(status);
    exitStatus_ = exited_ ? WEXITSTATUS(status) : -1;
    termSignal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

std::vector<PageCall> ChildBridge::calls() const
{
    std::vector<PageCall> result;
    for (const std::string& line : lines_) {
        auto open = line.find('(');
        if (open == std::string::npos || line.empty() || line.back() != ')')
            continue;
        PageCall call;
        call.name = line.substr(0, open);
        call.payload = nlohmann::json::parse(line.substr(open + 1, line.size() - open - 2), nullptr, false);
        result.push_back(std::move(call));
    }
    return result;
}

std::vector<nlohmann::json> ChildBridge::payloadsOf(const std::string& name) const
{
    std::vector<nlohmann::json> result;
    for (PageCall& call : calls()) {
        if (call.name == name)
            result.push_back(std::move(call.payload));
    }
    return result;
}

std::vector<nlohmann::json> ChildBridge::replies() const
{
    return payloadsOf("window.__bridgeResolveRaw");
}

std::string ChildBridge::describe() const
{
    std::ostringstream text;
    text << "exit status " << exitStatus_ << ", signal " << termSignal_ << (timedOut_ ? ", timed out" : "")
         << ", " << seconds_ << " s, peak RSS " << maxRssKiB_ / 1024 << " MiB, " << lines_.size()
         << " lines";
    if (!lines_.empty())
        text << ", last: " << lines_.back().substr(0, 300);
    return text.str();
}

std::string commandLine(std::int64_t id, const std::string& cmd, const nlohmann::json& args)
{
    return nlohmann::json{{"id", id}, {"cmd", cmd}, {"args", args}}.dump();
}

ChildBridge& runScript(ChildBridge& child, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        child.send(line);
    child.finish();
    return child;
}

std::vector<std::filesystem::path> temporaryFilesIn(const std::filesystem::path& dir)
{
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.path().filename().string().rfind(".quillon-", 0) == 0)
            found.push_back(entry.path());
    }
    return found;
}

}  // namespace quillon::test
