#include "cli/CliHost.hpp"

#include <cstdio>
#include <sstream>

namespace quillon::cli {

namespace {

// The paths of a list separated by ':', empty ones left out.
std::vector<std::string> splitPathList(const std::string& list)
{
    std::vector<std::string> paths;
    std::istringstream in(list);
    for (std::string path; std::getline(in, path, ':');)
        if (!path.empty())
            paths.push_back(path);
    return paths;
}

}  // namespace

CliHost::CliHost(const std::vector<std::string>& panelAnswers, Page page) : page_(std::move(page))
{
    for (const std::string& answer : panelAnswers)
        panels_.add({answer});
}

void CliHost::printLine(const std::string& script)
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

void CliHost::showPanel(const PanelRequest& request, std::function<void(std::vector<std::string> paths)> done)
{
    std::vector<std::string> answer = panels_.next();
    const bool several = request.kind == PanelRequest::Kind::OpenFiles ||
                         request.kind == PanelRequest::Kind::OpenFolders;
    if (!answer.empty() && (several || answer.front().empty()))
        answer = splitPathList(answer.front());
    PanelScript::answerLater(*this, std::move(done), std::move(answer));
}

}  // namespace quillon::cli
