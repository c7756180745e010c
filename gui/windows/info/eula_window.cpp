#include "windows/info/eula_window.h"

#include <glibmm/i18n.h>

#include "core/log.h"

EULAWindow::EULAWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : VeltranaWindow<Gtk::Window>(cobject)
{
    set_title(_("End-user license agreement"));
    scaler.update(false, AppSize{});
    builder->get_widget("eula_text_view", textView);
    builder->get_widget("ok_button", okButton);
    if (textView == nullptr || okButton == nullptr)
        core_log(CORE_LOG_ERROR, "windows", "Gtk::Builder::get_widget(): dynamic_cast<> failed.");
    if (textView != nullptr) {
        textView->set_cursor_visible(false);
        textView->set_editable(false);
    }
    const AppSize initial = pk_page_initial_level(scaler, 0);
    steps.current = initial;
    scaler.currentLevel = initial;
    resize(int(initial.width), int(initial.height));
    Gdk::Geometry hints{};
    hints.min_width = int(scaler.minimumLevel.width);
    hints.min_height = int(scaler.minimumLevel.height);
    set_geometry_hints(*this, hints, Gdk::HINT_MIN_SIZE);
    buildText(initial);
    signal_size_allocate().connect(sigc::mem_fun(*this, &EULAWindow::onSizeAllocate));
    if (okButton != nullptr) okButton->signal_clicked().connect(sigc::mem_fun(*this, &EULAWindow::onOkClicked));
}

void EULAWindow::onSizeAllocate(Gtk::Allocation &allocation)
{
    AppSize target;
    const AppSize size{uint32_t(std::max(allocation.get_width(), 0)), uint32_t(std::max(allocation.get_height(), 0))};
    const bool rebuild = steps.allocate(scaler, size, target);
    scaler.currentLevel = steps.current;
    if (rebuild) buildText(target);
}

void EULAWindow::onOkClicked()
{
    Glib::RefPtr<Gtk::Application> application = get_application();
    if (!application) return;
    static const uint8_t zero[PI_WINDOW_ID_SIZE] = {};
    PiApplication::dismissWindow<EULAWindow>(application, zero);
}

void EULAWindow::buildText(AppSize level)
{
    if (textView == nullptr) return;
    const PkPageMetrics metrics = pk_page_metrics(level);
    Glib::RefPtr<Gtk::TextBuffer> buffer = Gtk::TextBuffer::create();
    auto head = pk_page_tag(buffer, "head", Gtk::JUSTIFY_CENTER, true, 0, metrics.fontPoints, metrics.margin);
    auto text = pk_page_tag(buffer, "text", Gtk::JUSTIFY_LEFT, false, 0, metrics.fontPoints, metrics.margin);
    buffer->insert_with_tag(buffer->end(), "\n", text);
    pk_page_insert_picture(buffer, PK_PNG_EULA_ICON, metrics.picture, head, "\n\n");
    buffer->insert_with_tag(buffer->end(), pk_page_read("/eula.txt"), text);
    buffer->insert_with_tag(buffer->end(), "\n\n", text);
    textView->set_buffer(buffer);
}
