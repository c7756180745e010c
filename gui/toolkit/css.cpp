#include "toolkit/css.h"

#include <gtk/gtk.h>
#include <gtkmm/widget.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "core/log.h"

namespace {

// The providers a widget carries, by their rule text.
struct WidgetProviders {
    std::map<std::string, GtkCssProvider *> byText;

    ~WidgetProviders()
    {
        for (auto &entry : byText) g_object_unref(entry.second);
    }
};

const char kProvidersKey[] = "veltrana-css-providers";

void free_widget_providers(gpointer data)
{
    delete static_cast<WidgetProviders *>(data);
}

WidgetProviders &providers_of(GtkWidget *widget)
{
    auto *providers = static_cast<WidgetProviders *>(g_object_get_data(G_OBJECT(widget), kProvidersKey));
    if (providers == nullptr) {
        providers = new WidgetProviders();
        g_object_set_data_full(G_OBJECT(widget), kProvidersKey, providers, free_widget_providers);
    }
    return *providers;
}

std::string pixels(unsigned n)
{
    return std::to_string(n) + "px";
}

std::string hash_colour(unsigned rgb)
{
    return "#" + PiCSSObject::toHex(rgb);
}

// float to int of a value outside int's range (or NaN) is undefined; a
// colour component outside 0..1 means its bound anyway.
float unit_interval(float value)
{
    if (std::isnan(value)) return 0.0f;
    return std::clamp(value, 0.0f, 1.0f);
}

}  // namespace

std::string PiCSSProperty::name(int type)
{
    static const char *const kNames[] = {
        "color",          "background",       "background-color", "background-image",
        "min-width",      "min-height",       "border",           "border-radius",
        "border-width",   "border-image",     "font-size",        "font-style",
        "font-weight",    "box-shadow",       "text-shadow",      "",
        "animation-name", "animation-duration", "animation-timing-function", "animation-iteration-count",
    };
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == PI_CSS_ANIMATION_ITERATION_COUNT + 1);
    if (type < 0 || type > PI_CSS_ANIMATION_ITERATION_COUNT) return std::string();
    return kNames[type];
}

std::string PiCSSObject::toHex(unsigned rgb)
{
    char text[16];
    snprintf(text, sizeof(text), "%06x", rgb);
    return text;
}

void PiCSSObjectShadow::setColor(unsigned rgb)
{
    value = "1px 1px " + hash_colour(rgb);
}

void PiCSSObjectRadialGradient::setColors(unsigned inner, unsigned outer)
{
    value = "radial-gradient(circle at center, " + hash_colour(inner) + ", " + hash_colour(outer) + " 100%)";
}

PiCSSObjectAnimationRotate::PiCSSObjectAnimationRotate(const std::string &animationName)
{
    name = animationName;
}

void PiCSSObjectAnimationRotate::makeKeyframes()
{
    value = "@keyframes " + name + " { to { -gtk-icon-transform: rotate(1turn); } }";
}

PiCSSItem &PiCSSItem::add(int type, std::string value)
{
    properties.push_back(PiCSSProperty{type, std::move(value)});
    return *this;
}

PiCSSItem &PiCSSItem::color(unsigned rgb)
{
    return add(PI_CSS_COLOR, hash_colour(rgb));
}

PiCSSItem &PiCSSItem::background(unsigned rgb)
{
    return add(PI_CSS_BACKGROUND, hash_colour(rgb));
}

PiCSSItem &PiCSSItem::backgroundColor(unsigned rgb)
{
    return add(PI_CSS_BACKGROUND_COLOR, hash_colour(rgb));
}

PiCSSItem &PiCSSItem::backgroundColorRgba(float r, float g, float b, float a)
{
    char alpha[32];
    snprintf(alpha, sizeof(alpha), "%.2f", double(unit_interval(a)));
    // A locale with a decimal comma would end the rgba() argument early.
    std::replace(std::begin(alpha), std::end(alpha), ',', '.');
    const auto component = [](float v) { return std::to_string(int(unit_interval(v) * 255.0f)); };
    return add(PI_CSS_BACKGROUND_COLOR,
               "rgba(" + component(r) + ", " + component(g) + ", " + component(b) + ", " + alpha + ")");
}

PiCSSItem &PiCSSItem::backgroundImage(const PiCSSObject &object)
{
    return add(PI_CSS_BACKGROUND_IMAGE, object.value);
}

PiCSSItem &PiCSSItem::minWidth(unsigned px)
{
    return add(PI_CSS_MIN_WIDTH, pixels(px));
}

PiCSSItem &PiCSSItem::minHeight(unsigned px)
{
    return add(PI_CSS_MIN_HEIGHT, pixels(px));
}

PiCSSItem &PiCSSItem::border(unsigned px)
{
    return add(PI_CSS_BORDER, pixels(px));
}

PiCSSItem &PiCSSItem::borderRadius(unsigned px)
{
    return add(PI_CSS_BORDER_RADIUS, pixels(px));
}

PiCSSItem &PiCSSItem::borderWidth(unsigned px)
{
    return add(PI_CSS_BORDER_WIDTH, pixels(px));
}

PiCSSItem &PiCSSItem::borderImage(const PiCSSObject &object)
{
    return add(PI_CSS_BORDER_IMAGE, object.value);
}

PiCSSItem &PiCSSItem::fontSize(unsigned px)
{
    return add(PI_CSS_FONT_SIZE, pixels(px));
}

PiCSSItem &PiCSSItem::fontWeight(unsigned weight)
{
    return add(PI_CSS_FONT_WEIGHT, std::to_string(weight));
}

PiCSSItem &PiCSSItem::fontBold()
{
    return add(PI_CSS_FONT_WEIGHT, "bold");
}

PiCSSItem &PiCSSItem::boxShadow(const PiCSSObject &object)
{
    return add(PI_CSS_BOX_SHADOW, object.value);
}

PiCSSItem &PiCSSItem::animation(const PiCSSObjectAnimationRotate &rotate)
{
    add(PI_CSS_RAW, rotate.value);
    add(PI_CSS_ANIMATION_NAME, rotate.name);
    add(PI_CSS_ANIMATION_DURATION, "1s");
    add(PI_CSS_ANIMATION_TIMING_FUNCTION, "linear");
    return add(PI_CSS_ANIMATION_ITERATION_COUNT, "infinite");
}

std::string PiCSSItem::toCss() const
{
    std::string prefix, declarations;
    for (const PiCSSProperty &property : properties) {
        const std::string name = PiCSSProperty::name(property.type);
        if (name.empty())
            prefix += property.value;
        else
            declarations += name + ": " + property.value + "; ";
    }
    if (!prefix.empty()) prefix += ' ';
    const std::string st = state();
    return prefix + node() + (st.empty() ? std::string() : ":" + st) + " { " + declarations + "}";
}

bool PiCSSItem::applyCss(Gtk::Widget &widget, const std::string &css, const std::string &cssClass)
{
    GtkStyleContext *context = gtk_widget_get_style_context(widget.gobj());
    if (context == nullptr) return false;

    WidgetProviders &providers = providers_of(widget.gobj());
    auto known = providers.byText.find(css);
    GtkCssProvider *provider = nullptr;
    if (known != providers.byText.end()) {
        // Taken off and put back: among equal priorities the provider added
        // last wins, so the rule shows again over whatever came after it.
        provider = known->second;
        gtk_style_context_remove_provider(context, GTK_STYLE_PROVIDER(provider));
    } else {
        provider = gtk_css_provider_new();
        if (provider == nullptr) return false;
        GError *error = nullptr;
        gtk_css_provider_load_from_data(provider, css.data(), gssize(css.size()), &error);
        if (error != nullptr) {
            core_log(CORE_LOG_WARN, "toolkit", "CSS refused (%s): %s", error->message, css.c_str());
            g_error_free(error);
            g_object_unref(provider);
            return false;
        }
        providers.byText.emplace(css, provider);
    }
    gtk_style_context_add_provider(context, GTK_STYLE_PROVIDER(provider), PI_CSS_PRIORITY);
    if (!cssClass.empty()) gtk_style_context_add_class(context, cssClass.c_str());
    return true;
}

bool PiCSSItem::apply(Gtk::Widget &widget) const
{
    return applyCss(widget, toCss(), std::string());
}
