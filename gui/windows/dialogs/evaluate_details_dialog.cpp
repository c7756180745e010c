#include "windows/dialogs/evaluate_details_dialog.h"

#include <gtkmm/cellrendererpixbuf.h>
#include <gtkmm/cellrenderertext.h>
#include <gtkmm/treeviewcolumn.h>

#include <cinttypes>
#include <cstring>
#include <cstdio>

#include "app/texts.h"
#include "services/media.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"
#include "toolkit/window.h"
#include "windows/dialogs/evaluate_dialog.h"

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

constexpr int kIconSize = 64;
constexpr int kTitleWidthChars = 48;
constexpr int kScrolledWidth = 200;
constexpr int kScrolledHeight = 160;
// Height of the pass and fail marks in the table, in pixels.
constexpr int kMarkHeight = 16;

double rate_of(const PkVideoMode &mode)
{
    if (mode.rateNumerator == 0 || mode.rateDenominator == 0) return 0.0;
    return double(mode.rateNumerator) / double(mode.rateDenominator);
}

bool limit_component_set(uint32_t value) { return value != 0 && value != 0xFFFFFFFFu; }

bool same_rate(const PkVideoMode &a, const PkVideoMode &b)
{
    return a.rateNumerator == b.rateNumerator && a.rateDenominator == b.rateDenominator;
}

bool within_limit(const PkVideoMode &mode, const PkVideoMode &limit)
{
    const uint64_t area = uint64_t(mode.width) * mode.height;
    const uint64_t limitArea = uint64_t(limit.width) * limit.height;
    const bool sizeFits = area < limitArea || (mode.width == limit.width && mode.height == limit.height);
    const bool rateFits = rate_of(limit) > rate_of(mode) || same_rate(mode, limit);
    return sizeFits && rateFits;
}

bool within_maximum(const PkVideoMode &mode, const PkVideoMode &maximum)
{
    return mode.width <= maximum.width && mode.height <= maximum.height &&
           (rate_of(maximum) > rate_of(mode) || same_rate(mode, maximum));
}

// The program picture scaled to the marks' height; empty when missing.
Glib::RefPtr<Gdk::Pixbuf> mark_picture(uint32_t pngId)
{
    const std::vector<uint8_t> png = PiWindowIcon::png(pngId);
    Glib::RefPtr<Gdk::Pixbuf> picture = PiPixbuf::fromBytes(png.data(), png.size());
    if (!picture || picture->get_height() <= 0) return picture;
    const int width = picture->get_width() * kMarkHeight / picture->get_height();
    if (width <= 0) return Glib::RefPtr<Gdk::Pixbuf>();
    if (width == picture->get_width() && picture->get_height() == kMarkHeight) return picture;
    return picture->scale_simple(width, kMarkHeight, Gdk::INTERP_BILINEAR);
}

}  // namespace

std::vector<PkEvaluateReportRow> pk_evaluate_report_rows(const std::vector<PkVideoMode> &modes,
                                                         const PkVideoMode &limit, const PkVideoMode &maximum)
{
    const bool limitValid = limit_component_set(limit.width) && limit_component_set(limit.height) &&
                            limit_component_set(limit.rateNumerator) && limit_component_set(limit.rateDenominator);
    std::vector<PkEvaluateReportRow> rows;
    for (const PkVideoMode &mode : modes)
        if (!limitValid || within_limit(mode, limit)) rows.push_back({false, mode});

    // The ladder is walked upwards by the evaluation until a trial fails,
    // so every mode below the largest one within the maximum was passed.
    bool passed = false;
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        if (!passed) passed = within_maximum(row->mode, maximum);
        row->passed = passed;
    }
    return rows;
}

std::shared_ptr<EvaluateDetailsDialog> EvaluateDialog::showDetails(Glib::RefPtr<Gtk::Application> application,
                                                                   std::shared_ptr<Gtk::Window> parent,
                                                                   const PkVideoMode &limit,
                                                                   const std::vector<PkAudioEncoderLimits> &audio,
                                                                   const std::vector<PkVideoEncoderLimits> &video)
{
    std::shared_ptr<EvaluateDetailsDialog> dialog =
        PiApplication::createWindow<EvaluateDetailsDialog>(application, parent, kZeroId);
    if (!dialog) return dialog;
    dialog->evaluationLimit = limit;
    dialog->audioLimits = audio;
    dialog->videoLimits = video;
    PiApplication::runDialog<EvaluateDetailsDialog>(application, dialog);
    return dialog;
}

EvaluateDetailsDialog::EvaluateDetailsDialog(GtkDialog *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaDialog(cobject)
{
    builder->get_widget("icon_image", iconImage);
    builder->get_widget("title_label", titleLabel);
    builder->get_widget("codecs_separator", codecsSeparator);
    builder->get_widget("codecs_combobox", codecsCombobox);
    builder->get_widget("details_treeview", detailsTreeview);
    builder->get_widget("ok_button", okButton);
    builder->get_widget("details_scrolledwindow", detailsScrolledwindow);

    if (detailsScrolledwindow != nullptr) detailsScrolledwindow->set_size_request(kScrolledWidth, kScrolledHeight);
    if (titleLabel != nullptr) {
        titleLabel->set_text(pk_translate("This is a detailed performance evaluation report") + ". " +
                             pk_translate("Please select a codec from the list to display results") + ".");
        titleLabel->set_line_wrap(true);
        titleLabel->set_max_width_chars(kTitleWidthChars);
        titleLabel->set_use_markup(true);
    }
    if (okButton != nullptr) okButton->set_label(pk_translate("Ok"));
    if (iconImage != nullptr) {
        const std::vector<uint8_t> png = PiWindowIcon::png(PK_PNG_DETAILS_ICON);
        const std::vector<char> bytes(png.begin(), png.end());
        if (!bytes.empty()) PiPixbuf::setImage(*iconImage, bytes, PI_PIXBUF_KIND_ENCODED, kIconSize, kIconSize);
    }
    if (codecsCombobox != nullptr)
        codecsCombobox->signal_changed().connect(sigc::mem_fun(*this, &EvaluateDetailsDialog::onCodecChanged));
    if (okButton != nullptr)
        okButton->signal_clicked().connect(sigc::mem_fun(*this, &EvaluateDetailsDialog::onOkClicked));
    set_title(pk_translate("Details"));
}

int EvaluateDetailsDialog::run()
{
    const std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    const std::shared_ptr<EvaluateDetailsDialog> self = shared_from_this();
    theme->addListener(self);

    store = Gtk::ListStore::create(columns);
    if (detailsTreeview != nullptr) {
        detailsTreeview->set_model(store);
        detailsTreeview->append_column(pk_translate("Resolution"), columns.resolution);
        detailsTreeview->append_column(pk_translate("Frequency"), columns.frequency);

        auto *passColumn = Gtk::manage(new Gtk::TreeViewColumn(pk_translate("Test passed")));
        auto *iconRenderer = Gtk::manage(new Gtk::CellRendererPixbuf());
        auto *textRenderer = Gtk::manage(new Gtk::CellRendererText());
        passColumn->pack_start(*iconRenderer, false);
        passColumn->add_attribute(iconRenderer->property_pixbuf(), columns.passIcon);
        passColumn->pack_start(*textRenderer, true);
        passColumn->add_attribute(textRenderer->property_text(), columns.passText);
        detailsTreeview->append_column(*passColumn);

        for (Gtk::TreeViewColumn *column : detailsTreeview->get_columns()) column->set_expand(true);
    }

    if (codecsCombobox != nullptr) {
        codecsCombobox->remove_all();
        codecsCombobox->set_sensitive(true);
        const uint64_t count = pk_media_encoder_count(1);
        const uint64_t usable = pk_media_usable_encoder_count(1);
        // Unsigned on purpose: more usable than listed encoders lists none.
        for (uint64_t i = count - usable; i < count; i++) {
            const PkCodecDescPair pair = pk_media_encoder_info(1, int32_t(i));
            const PkVideoCodecDesc &desc = pair.video;
            Glib::ustring name;
            if (desc.direction == RAVK_CODEC_ENCODER)
                name = pk_codec_name_out(desc);
            else if (desc.direction == RAVK_CODEC_DECODER)
                name = pk_codec_name_in(desc);
            else
                continue;
            // The family name is a fixed-size field: never read past it.
            const std::string family(desc.family, strnlen(desc.family, sizeof(desc.family)));
            codecsCombobox->append(codecKindText(desc) + " / " + family + " / " + name);
        }
        codecsCombobox->set_active(0);
    }

    const int response = Gtk::Dialog::run();
    hide();
    close();
    theme->removeListener(self);
    return response;
}

void EvaluateDetailsDialog::onCodecChanged()
{
    if (codecsCombobox == nullptr || !store) return;
    const std::vector<PkVideoMode> modes = pk_evaluation_mode_list();
    const uint64_t usable = pk_media_usable_encoder_count(1);
    const int active = codecsCombobox->get_active_row_number();
    if (active < 0 || uint64_t(active) >= usable || size_t(active) >= videoLimits.size()) return;

    const std::vector<PkEvaluateReportRow> rows =
        pk_evaluate_report_rows(modes, evaluationLimit, videoLimits[size_t(active)].maximum);

    store->clear();
    const Glib::RefPtr<Gdk::Pixbuf> checkMark = mark_picture(PK_PNG_CHECK_MARK);
    const Glib::RefPtr<Gdk::Pixbuf> cross = mark_picture(PK_PNG_CROSS);
    const Glib::ustring yes = " " + pk_translate("Yes");
    const Glib::ustring no = " " + pk_translate("No");
    const Glib::ustring hertz = " " + pk_translate("Hz");
    for (const PkEvaluateReportRow &row : rows) {
        char size[32];
        snprintf(size, sizeof(size), "%ux%u", row.mode.width, row.mode.height);
        char rate[32];
        snprintf(rate, sizeof(rate), "%.0f", rate_of(row.mode));
        Gtk::TreeModel::Row line = *store->append();
        line[columns.resolution] = size;
        line[columns.frequency] = Glib::ustring(rate) + hertz;
        line[columns.passText] = row.passed ? yes : no;
        line[columns.passIcon] = row.passed ? checkMark : cross;
    }
}

void EvaluateDetailsDialog::onOkClicked()
{
    Glib::RefPtr<PiApplication> app = Glib::RefPtr<PiApplication>::cast_dynamic(get_application());
    if (app) (void)app->closeWindow<EvaluateDetailsDialog>(kZeroId);
}

void EvaluateDetailsDialog::restyle(int theme)
{
    if (codecsSeparator == nullptr) return;
    PiCSSSeparator rule;
    rule.backgroundColor(pk_evaluate_separator_colour(theme));
    PiCSSItem::applyCss(*codecsSeparator, rule.toCss(), "");
}

void EvaluateDetailsDialog::onThemeChanged(int theme) { restyle(theme); }
