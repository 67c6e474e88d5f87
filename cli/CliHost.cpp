#include "cli/CliHost.hpp"

#include <cstdio>

namespace quillon::cli {

namespace {

std::vector<std::string> splitPathList(const std::string& list)
{
    std::vector<std::string> paths;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = list.find(':', start);
        std::string path = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!path.empty())
            paths.push_back(std::move(path));
        if (end == std::string::npos)
            return paths;
        start = end + 1;
    }
}

}  // namespace

CliHost::CliHost(std::vector<std::string> panelAnswers)
    : panelAnswers_(panelAnswers.begin(), panelAnswers.end())
{
}

void CliHost::evaluateScript(const std::string& script)
{
    // Compact JSON escapes line breaks inside strings, so a script is always a single line.
    std::fwrite(script.data(), 1, script.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CliHost::runOnMain(std::function<void()> task)
{
    mainQueue_.post([this, task = std::move(task)] {
        ++tasksRun_;
        task();
    });
}

void CliHost::showPanel(const PanelRequest& request,
                        std::function<void(std::vector<std::string> paths)> done)
{
    std::vector<std::string> answer;
    if (!panelAnswers_.empty()) {
        bool several = request.kind == PanelRequest::Kind::OpenFiles ||
                       request.kind == PanelRequest::Kind::OpenFolders;
        if (several)
            answer = splitPathList(panelAnswers_.front());
        else if (!panelAnswers_.front().empty())
            answer = {panelAnswers_.front()};
        panelAnswers_.pop_front();
    }
    // Like a real panel, the answer comes later from the main loop, never inside this call.
    runOnMain([done = std::move(done), answer = std::move(answer)] { done(answer); });
}

void CliHost::reveal(const std::vector<std::string>&) {}

}  // namespace quillon::cli
