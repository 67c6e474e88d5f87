// `quillon-cli bridge`: the very same Bridge as the window, with standard input as the page's
// messages and standard output as the page.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "bridge/Bridge.hpp"
#include "cli/CliHost.hpp"
#include "cli/Commands.hpp"

namespace quillon::cli {

namespace {

// {"drop": [strings]} and nothing else: files dropped on the window.
std::optional<std::vector<std::filesystem::path>> dropOf(const Json& line)
{
    if (!line.is_object() || line.size() != 1)
        return std::nullopt;
    auto files = line.find("drop");
    if (files == line.end() || !files->is_array())
        return std::nullopt;
    std::vector<std::filesystem::path> paths;
    for (const Json& file : *files) {
        if (!file.is_string())
            return std::nullopt;
        paths.emplace_back(file.get<std::string>());
    }
    return paths;
}

void handleLine(Bridge& bridge, const std::string& text)
{
    Json line = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (line.is_discarded())
        return;  // not JSON: ignored
    if (auto drop = dropOf(line)) {
        if (!drop->empty())
            bridge.handleDrop(std::move(*drop));
        return;
    }
    bridge.handleMessage(line);  // malformed messages are dropped by the dispatcher itself
}

int usage()
{
    std::fputs("usage: quillon-cli bridge [--panel PATH]...\n", stderr);
    return 2;
}

}  // namespace

int runBridge(int argc, char** argv)
{
    std::vector<std::string> panelAnswers;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--panel") == 0 && i + 1 < argc)
            panelAnswers.emplace_back(argv[++i]);
        else if (std::strncmp(argv[i], "--panel=", 8) == 0)
            panelAnswers.emplace_back(argv[i] + 8);
        else
            return usage();
    }

    CliHost host(std::move(panelAnswers));
    Bridge bridge(host);

    // Lines are read on a thread of their own and handed to the main loop in order, so deliveries
    // are printed while the next line is still awaited.
    bool endOfInput = false;  // main thread only
    std::thread reader([&host, &bridge, &endOfInput] {
        std::string text;
        while (std::getline(std::cin, text))
            host.runOnMain([&bridge, text] { handleLine(bridge, text); });
        host.runOnMain([&endOfInput] { endOfInput = true; });
    });
    while (!endOfInput)
        g_main_context_iteration(nullptr, TRUE);
    reader.join();

    // Finish everything: a task on io posts deliveries, and a panel answered from the main loop can
    // queue more io work, so alternate until both are empty at the same time.
    for (;;) {
        bridge.waitIdle();
        if (host.pendingTasks() == 0)
            break;
        while (host.pendingTasks() > 0)
            g_main_context_iteration(nullptr, TRUE);
    }
    return 0;
}

}  // namespace quillon::cli
