// The detailed report of the codec performance evaluation.
//
// EvaluateDetailsDialog lists the machine's usable video encoders in a combo
// box and, for the chosen one, the evaluation's ladder modes up to the
// evaluation limit, each marked as within or beyond the maximum the
// evaluation found for that encoder. It is fed by EvaluateDialog::showDetails
// with the limit and the encoder limits, asks the media layer for the
// encoder list when it runs, and lives for one modal run.
//
// Threads: the GTK main thread only (the encoder queries are synchronous
// control requests). run() returns the dialog's response once it is closed.
#pragma once

#include <gdkmm/pixbuf.h>
#include <glibmm/ustring.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/dialog.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/liststore.h>
#include <gtkmm/scrolledwindow.h>
#include <gtkmm/separator.h>
#include <gtkmm/treemodelcolumn.h>
#include <gtkmm/treeview.h>

#include <memory>
#include <vector>

#include "services/codecs.h"
#include "services/utils.h"
#include "toolkit/application.h"
#include "toolkit/theme.h"

// One line of the report: a ladder mode and whether the encoder reached it.
struct PkEvaluateReportRow {
    bool passed = false;
    PkVideoMode mode{};
};

// The ladder modes within the limit, each marked passed when it lies at or
// below the last mode that fits the maximum (walking from the largest
// mode down, every mode before that one counts as passed). A limit with a
// component 0 or 0xFFFFFFFF keeps every mode.
std::vector<PkEvaluateReportRow> pk_evaluate_report_rows(const std::vector<PkVideoMode> &modes,
                                                         const PkVideoMode &limit, const PkVideoMode &maximum);

class EvaluateDetailsDialog : public VeltranaDialog,
                              public IPiTheme,
                              public std::enable_shared_from_this<EvaluateDetailsDialog> {
public:
    class EvaluateColumns : public Gtk::TreeModelColumnRecord {
    public:
        EvaluateColumns()
        {
            add(resolution);
            add(frequency);
            add(passText);
            add(passIcon);
        }
        Gtk::TreeModelColumn<Glib::ustring> resolution;
        Gtk::TreeModelColumn<Glib::ustring> frequency;
        Gtk::TreeModelColumn<Glib::ustring> passText;
        Gtk::TreeModelColumn<Glib::RefPtr<Gdk::Pixbuf>> passIcon;
    };

    EvaluateDetailsDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder);

    // Builds the table's columns and the encoder list, runs the dialog
    // modally; the response.
    int run() override;

    // Rebuilds the table for the chosen encoder; a row without a limit
    // entry leaves the table as it was.
    void onCodecChanged();
    void onOkClicked();

    void restyle(int theme);
    void onThemeChanged(int theme) override;

    EvaluateColumns columns;
    std::vector<PkAudioEncoderLimits> audioLimits;  // kept, not shown
    std::vector<PkVideoEncoderLimits> videoLimits;  // in the order of the usable encoders
    Glib::RefPtr<Gtk::ListStore> store;

    Gtk::Image *iconImage = nullptr;
    Gtk::Label *titleLabel = nullptr;
    Gtk::Separator *codecsSeparator = nullptr;
    Gtk::ComboBoxText *codecsCombobox = nullptr;
    Gtk::TreeView *detailsTreeview = nullptr;
    Gtk::Button *okButton = nullptr;
    Gtk::ScrolledWindow *detailsScrolledwindow = nullptr;

    PkVideoMode evaluationLimit{};
};

extern const char evaluatedetails_dialog_ui[];
PI_UI_DEFINITION(EvaluateDetailsDialog, "evaluatedetails_dialog", evaluatedetails_dialog_ui)
