#include "windows/dialogs/dialog_functions.h"

#include <utility>

#include "app/message_box.h"
#include "app/settings.h"
#include "app/storage.h"
#include "app/texts.h"

namespace {

const uint8_t kZeroId[PI_WINDOW_ID_SIZE] = {};

}  // namespace

std::shared_ptr<MessageDialog> EvaluateDialog::askYesNo(Glib::RefPtr<Gtk::Application> application,
                                                        std::shared_ptr<Gtk::Window> parent,
                                                        const Glib::ustring &title, const Glib::ustring &text)
{
    return showMessageDialog<MessageDialog>(application, parent, PK_MESSAGE_QUESTION, title, text,
                                            pk_translate("Yes"), pk_translate("No"), kZeroId);
}

std::shared_ptr<MessageDialog> EvaluateDialog::showError(Glib::RefPtr<Gtk::Application> application,
                                                         std::shared_ptr<Gtk::Window> parent,
                                                         const Glib::ustring &title, const Glib::ustring &text)
{
    return showMessageDialog<MessageDialog>(application, parent, PK_MESSAGE_ERROR, title, text, pk_translate("Ok"),
                                            Glib::ustring(), kZeroId);
}

std::shared_ptr<AppCodecsSettings> EvaluateDialog::applyCodecsSettings(std::shared_ptr<AppCodecsSettings> settings)
{
    // Empty settings would leave nothing to read the lists from; the
    // limits then stay as they are rather than being emptied by mistake.
    return applyCodecsSettingsToConfig(std::move(settings));
}

void EvaluateDialog::saveCodecsSettings(std::shared_ptr<AppCodecsSettings> settings)
{
    DiskIO<PkPath> storage;
    VeltranaAppPath<PkPath> paths;
    // The manager applies the settings itself once the file is written;
    // a failed write is deliberately not reported to the dialogs.
    (void)AppSettingsManager::instance()->saveCodecsSettings(storage, paths, std::move(settings));
}
