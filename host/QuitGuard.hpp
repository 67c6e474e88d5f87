#pragma once

#include <functional>
#include <optional>
#include <string>

#include "bridge/Bridge.hpp"

typedef struct _GtkWindow GtkWindow;

namespace quillon {

// What the user is asked before the window closes or the app quits.
struct QuitQuestion {
    std::string question;  // the dialog's heading, e.g. "Quit and stop the conversion?"
    std::string detail;    // what is lost, and what is kept
};

// The question to ask before quitting, or nothing when quitting loses nothing: no work running
// (as the page reports it, or queued in the bridge) and no stills or images on screen. Any thread.
std::optional<QuitQuestion> quitQuestion(const Bridge::PageState& page, bool bridgeWorking);

// Main thread. Shows the question in a modal dialog over the window, with the buttons "Don't Quit"
// and "Quit" (the default; Esc answers "Don't Quit"), and calls answered(true) once when the user
// chose to quit, answered(false) otherwise. Returns the dialog, which destroys itself once answered.
GtkWindow* askToQuit(GtkWindow* parent, const QuitQuestion& question,
                     std::function<void(bool quit)> answered);

}  // namespace quillon
