#include "windows/viewer/bcsh_window.h"

#include <string>
#include <vector>

#include "app/settings.h"
#include "app/texts.h"
#include "app/xml_objects.h"
#include "services/media.h"
#include "toolkit/css.h"
#include "toolkit/pixbuf.h"

namespace {

enum { kBrightness = 0, kContrast = 1, kSaturation = 2, kHue = 3 };

struct ValueRow {
    int64_t minimum;
    int64_t maximum;
    int64_t defaultValue;
    std::shared_ptr<PkXMLObject> AppSettings::*setting;
    int32_t (*send)(const RavkColorBalanceValue &);
    uint32_t lightIcon;
    uint32_t darkIcon;
};

const ValueRow kRows[4] = {
    {PK_BCSH_MIN, PK_BCSH_MAX, PK_BCSH_DEFAULT, &AppSettings::videoBrightness, pk_media_set_brightness,
     PK_PNG_BRIGHTNESS_LIGHT, PK_PNG_BRIGHTNESS_DARK},
    {PK_BCSH_MIN, PK_BCSH_MAX, PK_BCSH_DEFAULT, &AppSettings::videoContrast, pk_media_set_contrast,
     PK_PNG_CONTRAST_LIGHT, PK_PNG_CONTRAST_DARK},
    {PK_BCSH_MIN, PK_BCSH_MAX, PK_BCSH_DEFAULT, &AppSettings::videoSaturation, pk_media_set_saturation,
     PK_PNG_SATURATION_LIGHT, PK_PNG_SATURATION_DARK},
    {PK_BCSH_HUE_MIN, PK_BCSH_HUE_MAX, PK_BCSH_HUE_DEFAULT, &AppSettings::videoHue, pk_media_set_hue, PK_PNG_HUE_LIGHT,
     PK_PNG_HUE_DARK},
};

// The stored value of the row, kept inside its range: the scale could not
// show anything else, and the label must not claim it does.
int64_t stored_value(const AppSettings &settings, const ValueRow &row)
{
    auto number = std::dynamic_pointer_cast<PkXMLNumberObject>(settings.*(row.setting));
    int64_t value = number ? number->value : row.defaultValue;
    if (value < row.minimum) value = row.minimum;
    if (value > row.maximum) value = row.maximum;
    return value;
}

void set_value_icon(Gtk::Image *image, uint32_t pngId)
{
    if (image == nullptr) return;
    const std::vector<uint8_t> png = PiWindowIcon::png(pngId);
    if (png.empty()) return;
    const std::vector<char> bytes(png.begin(), png.end());
    PiPixbuf::setImage(*image, bytes, PI_PIXBUF_KIND_ENCODED, PK_BCSH_ICON_SIZE, PK_BCSH_ICON_SIZE);
}

void apply_value(Gtk::Label *label, const ValueRow &row, int64_t value, bool save)
{
    if (label != nullptr) label->set_text(std::to_string(value));
    // A playback that is not running refuses the request; the value is
    // still kept for the next one.
    const RavkColorBalanceValue request = {1, row.minimum, row.maximum, value};
    (void)row.send(request);
    if (!save) return;
    std::shared_ptr<AppSettings> settings = loadAppSettings();
    settings.get()->*(row.setting) = std::make_shared<PkXMLNumberObject>(value);
    saveAppSettings(settings);
}

}  // namespace

BCSHWindow::BCSHWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::Window>(cobject)
{
    builder->get_widget("brightness_image", brightness_image);
    builder->get_widget("brightness_scale", brightness_scale);
    builder->get_widget("brightness_label", brightness_label);
    builder->get_widget("contrast_image", contrast_image);
    builder->get_widget("contrast_scale", contrast_scale);
    builder->get_widget("contrast_label", contrast_label);
    builder->get_widget("saturation_image", saturation_image);
    builder->get_widget("saturation_scale", saturation_scale);
    builder->get_widget("saturation_label", saturation_label);
    builder->get_widget("hue_image", hue_image);
    builder->get_widget("hue_scale", hue_scale);
    builder->get_widget("hue_label", hue_label);
    builder->get_widget("main_saparator", main_saparator);
    builder->get_widget("reset_button", reset_button);

    Gtk::Image *images[4] = {brightness_image, contrast_image, saturation_image, hue_image};
    Gtk::Scale *scales[4] = {brightness_scale, contrast_scale, saturation_scale, hue_scale};
    Gtk::Label *labels[4] = {brightness_label, contrast_label, saturation_label, hue_label};
    const char *tooltips[4] = {"Brightness", "Contrast", "Saturation", "Hue"};

    std::shared_ptr<AppSettings> settings = loadAppSettings();
    for (int i = 0; i < 4; i++) {
        const ValueRow &row = kRows[i];
        if (images[i] != nullptr) images[i]->set_tooltip_text(pk_translate(tooltips[i]));
        const int64_t value = stored_value(*settings, row);
        if (labels[i] != nullptr) labels[i]->set_text(std::to_string(value));
        adjustments[i] = Gtk::Adjustment::create(static_cast<double>(value), static_cast<double>(row.minimum),
                                                 static_cast<double>(row.maximum), 1.0, 10.0, 0.0);
        // Bound by index, not by reference: the adjustment must not own a
        // handler that owns the adjustment.
        adjustments[i]->signal_value_changed().connect([this, i]() { onValueChanged(adjustments[i]); });
        if (scales[i] != nullptr) {
            scales[i]->set_adjustment(adjustments[i]);
            scales[i]->set_size_request(280, 32);
        }
    }

    if (reset_button != nullptr) {
        reset_button->set_label(pk_translate("Reset"));
        reset_button->signal_clicked().connect(sigc::mem_fun(*this, &BCSHWindow::onResetClicked));
    }
    signal_show().connect(sigc::mem_fun(*this, &BCSHWindow::onShow));
    signal_hide().connect(sigc::mem_fun(*this, &BCSHWindow::onHide));
    set_title(pk_translate("Picture"));
}

BCSHWindow::~BCSHWindow()
{
    for (Glib::RefPtr<Gtk::Adjustment> &adjustment : adjustments) adjustment.reset();
}

void BCSHWindow::setBrightness(int64_t value, bool save) { apply_value(brightness_label, kRows[kBrightness], value, save); }

void BCSHWindow::setContrast(int64_t value, bool save) { apply_value(contrast_label, kRows[kContrast], value, save); }

void BCSHWindow::setSaturation(int64_t value, bool save)
{
    apply_value(saturation_label, kRows[kSaturation], value, save);
}

void BCSHWindow::setHue(int64_t value, bool save) { apply_value(hue_label, kRows[kHue], value, save); }

void BCSHWindow::onValueChanged(Glib::RefPtr<Gtk::Adjustment> adjustment)
{
    if (!adjustment) return;
    const int64_t value = static_cast<int64_t>(adjustment->get_value());
    if (adjustment == adjustments[kBrightness]) setBrightness(value, true);
    else if (adjustment == adjustments[kContrast]) setContrast(value, true);
    else if (adjustment == adjustments[kSaturation]) setSaturation(value, true);
    else if (adjustment == adjustments[kHue]) setHue(value, true);
}

void BCSHWindow::onResetClicked()
{
    setBrightness(PK_BCSH_DEFAULT, false);
    setContrast(PK_BCSH_DEFAULT, false);
    setSaturation(PK_BCSH_DEFAULT, false);
    setHue(PK_BCSH_HUE_DEFAULT, false);
    // An adjustment that moves reports the change, which stores the default.
    for (int i = 0; i < 4; i++) {
        if (adjustments[i]) adjustments[i]->set_value(static_cast<double>(kRows[i].defaultValue));
    }
}

void BCSHWindow::onShow()
{
    listener = std::make_shared<IPkCenterNotify>();
    PkCenterNotify::instance()->addObserver(listener);
    std::shared_ptr<PiTheme> theme = PiTheme::instance();
    restyle(theme->effectiveTheme());
    if (std::shared_ptr<BCSHWindow> self = weak_from_this().lock()) theme->addListener(self);
}

void BCSHWindow::onHide()
{
    if (std::shared_ptr<BCSHWindow> self = weak_from_this().lock()) PiTheme::instance()->removeListener(self);
    if (listener) {
        PkCenterNotify::instance()->removeObserver(listener);
        listener.reset();
    }
}

void BCSHWindow::restyle(int theme)
{
    uint32_t colour = 0x000000;
    if (theme == 0) colour = 0xDEDEDE;
    if (theme == 1) colour = 0x404040;
    PiCSSSeparator rule;
    rule.backgroundColor(colour);
    if (main_saparator != nullptr) PiCSSItem::applyCss(*main_saparator, rule.toCss(), "");

    if (theme != 0 && theme != 1) return;
    Gtk::Image *images[4] = {brightness_image, contrast_image, saturation_image, hue_image};
    for (int i = 0; i < 4; i++) set_value_icon(images[i], theme == 1 ? kRows[i].darkIcon : kRows[i].lightIcon);
}

void BCSHWindow::onThemeChanged(int theme) { restyle(theme); }
