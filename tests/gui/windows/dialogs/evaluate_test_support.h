// What the evaluation dialog suites stand on: GTK on the private Xvfb, a
// registered application holding the windows, and a way to answer the
// message box a dialog opens while its own modal run goes on.
#pragma once

#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <functional>

#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "windows/dialogs/dialog_functions.h"

namespace evaltest {

// What a message box showed before it was answered.
struct SeenBox {
    bool shown = false;
    int kind = -1;
    Glib::ustring title;
    Glib::ustring text;
    bool positiveVisible = false;
    bool negativeVisible = false;
    Glib::ustring positiveLabel;
    Glib::ustring negativeLabel;
};

// Once a message box is shown: records it into `seen`, then ends it with
// the action.
inline void answer_box(Glib::RefPtr<PiApplication> app, SeenBox &seen, std::function<void(MessageDialog &)> action)
{
    Glib::signal_timeout().connect(
        [app, &seen, action] {
            auto box = app->findWindow<MessageDialog>(nullptr, nullptr);
            if (!box || !box->get_visible()) return true;
            seen.shown = true;
            seen.kind = box->kind;
            seen.title = box->get_title();
            seen.text = box->messageLabel->get_text();
            seen.positiveVisible = box->positiveButton->get_visible();
            seen.negativeVisible = box->negativeButton->get_visible();
            seen.positiveLabel = box->positiveButton->get_label();
            seen.negativeLabel = box->negativeButton->get_label();
            action(*box);
            return false;
        },
        10);
}

inline void click_yes(MessageDialog &box) { box.positiveButton->clicked(); }
inline void click_no(MessageDialog &box) { box.negativeButton->clicked(); }
inline void close_box(MessageDialog &box) { box.close(); }

}  // namespace evaltest
