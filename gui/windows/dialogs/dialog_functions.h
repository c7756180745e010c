// The dialog functions other windows share: the yes/no question box and the
// error box (EvaluateDialog::askYesNo, EvaluateDialog::showError), and the
// two steps that put codecs settings into effect
// (EvaluateDialog::applyCodecsSettings, EvaluateDialog::saveCodecsSettings).
//
// They are static members of EvaluateDialog (declared in evaluate_dialog.h)
// and need no dialog object. Include this header to use them: it also
// brings MessageDialog, whose `declined` (0 when the user confirmed) the
// question's caller reads.
//
// Threads: the GTK main thread only. The two boxes return after their
// nested main loop has ended, with the box, or an empty pointer when the
// factory made none (the application is not the program's own).
// applyCodecsSettings returns the settings it was given; saveCodecsSettings
// returns nothing, and a write that failed leaves PkConfig as it was.
#pragma once

#include "windows/dialogs/evaluate_dialog.h"
#include "windows/info/message_dialog.h"
