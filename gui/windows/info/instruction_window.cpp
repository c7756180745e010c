#include "windows/info/instruction_window.h"

#include <glibmm/i18n.h>

#include "app/texts.h"
#include "core/log.h"

namespace {

// The guide's topics in reading order; the trademark page comes last.
const char *const kTopics[] = {
    "/pkinstruction_description_",  "/pkinstruction_streamer_",       "/pkinstruction_viewer_",
    "/pkinstruction_requirements_", "/pkinstruction_os_",             "/pkinstruction_appsupport_",
    "/pkinstruction_appnotsupport_", "/pkinstruction_troubleshooting_", "/pkinstruction_router_",
};
const char kTrademarks[] = "/pkinstruction_copyrights_";

}  // namespace

std::vector<std::string> pk_page_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', start)) {
        lines.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    lines.push_back(text.substr(start));
    return lines;
}

InstructionWindow::InstructionWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::Window>(cobject)
{
    set_title(_("Instruction"));
    scaler.update(false, AppSize{});
    builder->get_widget("instruction_text_view", textView);
    if (textView == nullptr) core_log(CORE_LOG_ERROR, "windows", "Gtk::Builder::get_widget(): dynamic_cast<> failed.");
    if (textView != nullptr) {
        textView->set_cursor_visible(false);
        textView->set_editable(false);
    }
    const AppSize initial = pk_page_initial_level(scaler, 1);
    steps.current = initial;
    scaler.currentLevel = initial;
    pk_page_follow_theme(*this);
    resize(int(initial.width), int(initial.height));
    Gdk::Geometry hints{};
    hints.min_width = int(scaler.minimumLevel.width);
    hints.min_height = int(scaler.minimumLevel.height);
    set_geometry_hints(*this, hints, Gdk::HINT_MIN_SIZE);
    buildText(pk_page_theme(), initial);
    signal_size_allocate().connect(sigc::mem_fun(*this, &InstructionWindow::onSizeAllocate));
}

void InstructionWindow::onThemeChanged(int theme)
{
    buildText(theme, steps.current);
}

void InstructionWindow::onSizeAllocate(Gtk::Allocation &allocation)
{
    AppSize target;
    const AppSize size{uint32_t(std::max(allocation.get_width(), 0)), uint32_t(std::max(allocation.get_height(), 0))};
    const bool rebuild = steps.allocate(scaler, size, target);
    scaler.currentLevel = steps.current;
    if (rebuild) buildText(pk_page_theme(), target);
}

void InstructionWindow::buildText(int theme, AppSize level)
{
    if (textView == nullptr) return;
    const std::string language = documentLanguage();
    std::vector<std::string> pages;
    for (const char *topic : kTopics) pages.push_back(pk_page_read(topic + language + ".txt"));

    const float w = float(level.width);
    const float h = float(level.height);
    const int margin = int(w * 5.0f / 100.0f);
    Glib::RefPtr<Gtk::TextBuffer> buffer = Gtk::TextBuffer::create();
    auto head = pk_page_tag(buffer, "head", Gtk::JUSTIFY_CENTER, true, 700, int(h * 4.5f / 100.0f), margin);
    auto text = pk_page_tag(buffer, "text", Gtk::JUSTIFY_LEFT, false, 0, int(h * 3.5f / 100.0f), margin);
    auto tool = pk_page_tag(buffer, "tool", Gtk::JUSTIFY_CENTER, true, 0, int((h + h) / 100.0f), margin);
    tool->property_style() = Pango::STYLE_ITALIC;

    buffer->insert_with_tag(buffer->end(), "\n", head);
    pk_page_insert_picture(buffer, theme == 0 ? PK_PNG_WORDMARK_DARK_INK : PK_PNG_WORDMARK_WHITE,
                           int(w * 20.0f / 100.0f), head, "\n");
    pk_page_insert_picture(buffer, PK_PNG_DEVICES, int(w * 80.0f / 100.0f), head, "\n\n");

    for (const std::string &page : pages) {
        const std::vector<std::string> lines = pk_page_lines(page);
        buffer->insert_with_tag(buffer->end(), lines.front() + "\n", head);
        for (size_t i = 1; i < lines.size(); i++) buffer->insert_with_tag(buffer->end(), "    " + lines[i] + "\n", text);
        buffer->insert_with_tag(buffer->end(), "\n", text);
    }
    buffer->insert_with_tag(buffer->end(), "\n", text);
    for (const std::string &line : pk_page_lines(pk_page_read(kTrademarks + language + ".txt")))
        if (!line.empty()) buffer->insert_with_tag(buffer->end(), line + "\n", tool);
    buffer->insert_with_tag(buffer->end(), "\n", tool);
    textView->set_buffer(buffer);
}
