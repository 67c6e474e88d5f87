// `quillon-cli bridge`: the very same Bridge as the window, with standard input as the page's
// messages and standard output as the page.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "cli/CliHost.hpp"
#include "cli/Commands.hpp"

namespace quillon::cli {

namespace {

void handleLine(Bridge& bridge, const std::string& text)
{
    Json line = parseMessage(text);
    if (line.is_discarded())
        return;  // not JSON, or nested too deep: ignored
    // {"drop": [strings]} and nothing else: files dropped on the window. Any other line goes to the
    // dispatcher, which drops malformed messages (a drop of something else among them) itself.
    if (line.is_object() && line.size() == 1 && line.contains("drop")) {
        if (std::vector<std::string> files = args::strings(line, "drop"); !files.empty())
            bridge.handleDrop(std::vector<std::filesystem::path>(files.begin(), files.end()));
        return;
    }
    bridge.handleMessage(line);
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

    // Runs the main loop until everything queued has finished and been printed. Deliveries are
    // printed while io works: a helper thread waits for io to become idle and then posts a marker
    // behind the deliveries made so far. A task that ran before the marker (a panel's answer) may
    // have queued more io work, so the round is repeated until the marker is the only task run.
    auto settle = [&host, &bridge] {
        for (;;) {
            std::size_t before = host.tasksRun();
            bool markerRan = false;  // main thread only
            std::thread waiter([&host, &bridge, &markerRan] {
                bridge.waitIdle();
                host.runOnMain([&markerRan] { markerRan = true; });
            });
            while (!markerRan)
                g_main_context_iteration(nullptr, TRUE);
            waiter.join();
            if (host.tasksRun() - before == 1 && host.pendingTasks() == 0)
                return;
        }
    };

    // Each line is handed over once everything the lines before it caused has been printed, the
    // way a page awaits a reply before its next request. The dispatcher checks for a source when a
    // command arrives, so a script can send loadVideo and then extract, and what it prints never
    // depends on timing.
    std::string text;
    while (std::getline(std::cin, text)) {
        handleLine(bridge, text);
        settle();
    }
    settle();
    return 0;
}

}  // namespace quillon::cli
