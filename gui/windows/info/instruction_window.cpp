#include "windows/info/instruction_window.h"

#include <glibmm/i18n.h>

#include "app/texts.h"

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
    : PkThemedPageWindow<InstructionWindow>(cobject, builder, _("Instruction"), "instruction_text_view")
{
    openPage(1);
}

void InstructionWindow::buildText(int theme, AppSize level)
{
    if (textView == nullptr) return;
    const std::string language = documentLanguage();
    std::vector<std::string> pages;
    for (const char *topic : kTopics) pages.push_back(pk_page_read(topic + language + ".txt"));

    const float w = float(level.width);
    const float h = float(level.height);
    const PkPageMetrics metrics = pk_page_metrics(level);
    Glib::RefPtr<Gtk::TextBuffer> buffer = Gtk::TextBuffer::create();
    auto head = pk_page_tag(buffer, "head", Gtk::JUSTIFY_CENTER, true, 700, metrics.paneFontPx, metrics.margin);
    auto text = pk_page_tag(buffer, "text", Gtk::JUSTIFY_LEFT, false, 0, metrics.fontPoints, metrics.margin);
    auto tool = pk_page_tag(buffer, "tool", Gtk::JUSTIFY_CENTER, true, 0, int((h + h) / 100.0f), metrics.margin);
    tool->property_style() = Pango::STYLE_ITALIC;

    buffer->insert_with_tag(buffer->end(), "\n", head);
    pk_page_insert_picture(buffer, theme == 0 ? PK_PNG_WORDMARK_DARK_INK : PK_PNG_WORDMARK_WHITE, metrics.picture,
                           head, "\n");
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
