#include "windows/info/about_window.h"

#include <glibmm/i18n.h>
#include <gtkmm/scrolledwindow.h>

#include <cmath>

#include "toolkit/css.h"

namespace {

// The copyright line's years: the first release and this build.
constexpr int kFirstYear = 2019;
constexpr int kBuildYear = 2026;

std::string indexed(const char *prefix, int index)
{
    return std::string(prefix) + std::to_string(index) + ".txt";
}

void replace_all(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

AboutWindow::AboutWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : PkThemedPageWindow<AboutWindow>(cobject, builder, _("About"), "about_text_view")
{
    openPage(1);
}

Gtk::Expander *AboutWindow::makeExpander(const std::string &title, const std::string &text, int minWidth,
                                         int minHeight, unsigned fontPx)
{
    Gtk::Expander *expander = Gtk::manage(new Gtk::Expander(title, false));
    // Pane fonts are given in pixels at 96 dpi; a screen set to another
    // resolution scales them as it scales every other text.
    double scale = 1.0;
    Glib::RefPtr<Gdk::Screen> screen = Gdk::Screen::get_default();
    if (screen) {
        const double dpi = screen->get_resolution();
        if (dpi > 0) scale = dpi / 96.0;
    }
    PiCSSExpander css;
    css.fontSize(unsigned(std::trunc(fontPx * scale)));
    PiCSSItem::applyCss(*expander, css.toCss(), "");

    Gtk::ScrolledWindow *scrolled = Gtk::manage(new Gtk::ScrolledWindow());
    scrolled->set_min_content_width(std::max(minWidth, 0));
    scrolled->set_min_content_height(std::max(minHeight, 0));
    scrolled->set_shadow_type(Gtk::SHADOW_IN);
    scrolled->set_policy(Gtk::POLICY_AUTOMATIC, Gtk::POLICY_AUTOMATIC);

    Gtk::TextView *view = Gtk::manage(new Gtk::TextView());
    view->get_buffer()->set_text("\n" + text + "\n");
    view->set_cursor_visible(false);
    view->set_editable(false);
    view->set_wrap_mode(Gtk::WRAP_WORD);

    scrolled->add(*view);
    expander->add(*scrolled);
    expander->show_all();
    return expander;
}

void AboutWindow::buildText(int theme, AppSize level)
{
    if (textView == nullptr) return;
    const PkPageMetrics metrics = pk_page_metrics(level);
    Glib::RefPtr<Gtk::TextBuffer> buffer = Gtk::TextBuffer::create();
    auto head = pk_page_tag(buffer, "head", Gtk::JUSTIFY_CENTER, true, 700, metrics.fontPoints, metrics.margin);
    auto text = pk_page_tag(buffer, "text", Gtk::JUSTIFY_CENTER, true, 0, metrics.fontPoints, metrics.margin);
    auto tool = pk_page_tag(buffer, "tool", Gtk::JUSTIFY_LEFT, false, 0, metrics.fontPoints, metrics.margin);
    auto bold = pk_page_tag(buffer, "bold", Gtk::JUSTIFY_LEFT, false, 700, metrics.fontPoints, metrics.margin);
    auto margin = pk_page_tag(buffer, "margin", Gtk::JUSTIFY_LEFT, false, 0, 0, metrics.margin);
    textView->set_buffer(buffer);

    buffer->insert_with_tag(buffer->end(), "\n", head);
    pk_page_insert_picture(buffer, PK_PNG_LOGO, metrics.picture, head, "\n\n");
    pk_page_insert_picture(buffer, theme == 0 ? PK_PNG_WORDMARK_DARK_INK : PK_PNG_WORDMARK_WHITE, metrics.picture,
                           head, "\n\n");

    VeltranaAppInfo info;
    buffer->insert_with_tag(buffer->end(), info.siteUrl(0, true), head);
    buffer->insert_with_tag(buffer->end(), "\n\n", head);
    buffer->insert_with_tag(buffer->end(), info.productName(false, false), head);
    buffer->insert_with_tag(buffer->end(), "\n", head);
    buffer->insert_with_tag(buffer->end(), "Version: " + info.versionString(false), head);
    buffer->insert_with_tag(buffer->end(), "\n\n", head);
    buffer->insert_with_tag(buffer->end(),
                            "\xC2\xA9 " + std::to_string(kFirstYear) + "-" + std::to_string(kBuildYear) +
                                " The Veltrana developers. All rights reserved.",
                            text);
    buffer->insert_with_tag(buffer->end(), "\n\n", text);

    for (int i = 0; i < PK_ABOUT_MAX_ENTRIES; i++) {
        const std::string preamble = pk_page_read(indexed("/pkabout_preamble_", i));
        if (preamble.empty()) break;
        buffer->insert_with_tag(buffer->end(), preamble, text);
        buffer->insert_with_tag(buffer->end(), "\n\n", text);
    }

    buffer->insert_with_tag(buffer->end(), "This product uses of the following libraries:", text);
    buffer->insert_with_tag(buffer->end(), "\n\n", text);
    for (int i = 0; i < PK_ABOUT_MAX_ENTRIES; i++) {
        const std::string name = pk_page_read(indexed("/pkabout_project_name_", i));
        if (!name.empty()) {
            buffer->insert_with_tag(buffer->end(), "    " + name, bold);
            const std::string url = pk_page_read(indexed("/pkabout_project_url_", i));
            if (!url.empty()) {
                buffer->insert_with_tag(buffer->end(), " (" + url + ")", tool);
                buffer->insert_with_tag(buffer->end(), "\n", tool);
            }
        }
        std::string copyright = pk_page_read(indexed("/pkabout_project_copyright_", i));
        if (copyright.empty()) break;
        replace_all(copyright, "&copy;", "\xC2\xA9");
        buffer->insert_with_tag(buffer->end(), copyright, tool);
        buffer->insert_with_tag(buffer->end(), " ", tool);
        buffer->insert_with_tag(buffer->end(), pk_page_read(indexed("/pkabout_project_license_", i)), tool);
        buffer->insert_with_tag(buffer->end(), "\n\n", tool);
    }
    buffer->insert_with_tag(buffer->end(), "\n", text);

    const int paneWidth = int(level.width) - 2 * metrics.margin - metrics.margin / 5;
    const int paneHeight = int(level.height / 2);
    auto addPane = [&](const std::string &title, const std::string &body) {
        Glib::RefPtr<Gtk::TextChildAnchor> anchor = buffer->create_child_anchor(buffer->end());
        textView->add_child_at_anchor(*makeExpander(title, body, paneWidth, paneHeight, unsigned(metrics.paneFontPx)),
                                      anchor);
        buffer->insert_with_tag(buffer->end(), "\n ", tool);
        buffer->insert_with_tag(buffer->end(), "\n", tool);
    };
    const std::string agreement = pk_page_read("/pkabout_eula.txt");
    if (!agreement.empty()) addPane("End User License Agreement", agreement);
    for (int i = 0; i < PK_ABOUT_MAX_ENTRIES; i++) {
        const std::string title = pk_page_read(indexed("/pkabout_license_title_", i));
        const std::string subject = pk_page_read(indexed("/pkabout_license_subject_", i));
        if (title.empty() || subject.empty()) break;
        addPane(title, subject);
    }
    buffer->insert_with_tag(buffer->end(), "\n", text);
    buffer->apply_tag(margin, buffer->begin(), buffer->end());
}
