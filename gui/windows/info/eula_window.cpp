#include "windows/info/eula_window.h"

#include <glibmm/i18n.h>

EULAWindow::EULAWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &builder)
    : PkPageWindow<EULAWindow>(cobject, builder, _("End-user license agreement"), "eula_text_view")
{
    builder->get_widget("ok_button", okButton);
    openPage(0, okButton != nullptr);
    if (okButton != nullptr) okButton->signal_clicked().connect(sigc::mem_fun(*this, &EULAWindow::onOkClicked));
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
