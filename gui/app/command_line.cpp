#include "app/command_line.h"

#include <glib.h>
#include <libintl.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <memory>

#include "app/application.h"
#include "app/info.h"
#include "app/resources.h"
#include "app/storage.h"
#include "app/texts.h"
#include "core/log.h"
#include "core/values.h"
#include "notifications/notifications.h"
#include "services/utils.h"

namespace {

constexpr const char *kModule = "shell";
constexpr const char *kDataFolderName = "veltrana";
constexpr const char *kIconFileName = "veltrana.png";

// Value types of the published entries.
constexpr uint32_t kIntValueType = 0;
constexpr uint32_t kTextValueType = 1;

// Text encodings of the "fs.path" entries.
constexpr int32_t kEncoding8Bit = 0;
constexpr int32_t kEncodingUtf16 = 2;

std::string executable_folder()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    const std::string whole(path, static_cast<size_t>(length));
    const size_t slash = whole.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : whole.substr(0, slash);
}

bool is_help_request(const std::string &argument)
{
    return argument == "--help" || argument == "-h" || argument == "-?" || argument == "--help-all";
}

}  // namespace

// ---- folders ------------------------------------------------------------------------------------

std::string pk_program_folder(const std::vector<std::string> &arguments)
{
    if (arguments.empty()) return ".";
    const std::string &first = arguments.front();
    const size_t slash = first.rfind('/');
    // Started through PATH: the folder is where the executable is, not a
    // folder named like the program.
    if (slash == std::string::npos) return executable_folder();
    return slash == 0 ? "/" : first.substr(0, slash);
}

std::string pk_locale_base(const std::string &programFolder)
{
    const char *base = getenv("APP_LOCALE");
    return base != nullptr && base[0] != '\0' ? std::string(base) : programFolder;
}

std::string pk_language_list(const char *messagesLocale)
{
    if (messagesLocale == nullptr) return std::string();
    std::string name = messagesLocale;
    const size_t end = name.find_first_of(".@");
    if (end != std::string::npos) name.resize(end);
    if (name.empty() || name == "C" || name == "POSIX") return std::string();
    for (char &c : name)
        if (c == '-') c = '_';
    return name;
}

std::string pk_data_folder()
{
    const char *config = g_get_user_config_dir();
    if (config == nullptr || config[0] == '\0') return ".";
    gchar *joined = g_build_filename(config, kDataFolderName, nullptr);
    const std::string folder = joined;
    g_free(joined);
    // A fresh account may not have its config folder yet; without the whole
    // path no setting could ever be saved.
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0)
        core_log(CORE_LOG_WARN, kModule, "the data folder \"%s\" could not be made", folder.c_str());
    return folder;
}

std::string pk_write_notification_icon(const std::string &dataFolder)
{
    const std::vector<uint8_t> picture = loadPngResource(PK_PNG_TOAST_ICON);
    if (picture.empty()) return std::string();
    const std::string path = dataFolder + "/" + kIconFileName;
    DiskIO<PkPath> storage;
    return storage.writeBytes(path, picture) == 0 ? path : std::string();
}

int pk_publish_folders(const std::string &programFolder, const std::string &dataFolder)
{
    // The replacing list swaps an entry of the same name in one step.
    CoreValueList *list = core_process_valuelist(CORE_VALUELIST_REPLACE);
    if (list == nullptr) return -1;
    const std::u16string wide = pk_utf8_to_wide(dataFolder);
    const int32_t encodings[3] = {kEncoding8Bit, kEncodingUtf16, kEncoding8Bit};
    int result = 0;
    auto put_text = [&](uint32_t index, const void *data, size_t length) {
        if (core_valuelist_put(list, "fs.path", index, kTextValueType, data, length) != 0) result = -1;
    };
    put_text(0, programFolder.data(), programFolder.size());
    put_text(9, wide.data(), wide.size() * sizeof(char16_t));
    put_text(10, programFolder.data(), programFolder.size());
    const uint32_t indexes[3] = {0, 9, 10};
    for (int i = 0; i < 3; ++i)
        if (core_valuelist_put(list, "fs.path.encoding", indexes[i], kIntValueType, &encodings[i],
                               sizeof(encodings[i])) != 0)
            result = -1;
    return result;
}

// ---- the application's command line -----------------------------------------------------------

int VeltranaApp::parseOptions(std::vector<std::string> &arguments, std::string &message)
{
    gchar *dialog = nullptr;
    gchar *theme = nullptr;
    gboolean flags[13] = {};
    bool *const targets[13] = {&openglEnabled, &xvEnabled,    &vaapiProc,    &vaapiH264Enc, &vaapiH265Enc,
                               &vaapiVp8Enc,   &vaapiVp9Enc,  &vaapiAv1Enc,  &vaapiH264Dec, &vaapiH265Dec,
                               &vaapiVp8Dec,   &vaapiVp9Dec,  &vaapiAv1Dec};
    gboolean toast = FALSE;
    const std::string toastName = toastOptionName;
    const GOptionEntry entries[] = {
        {"dialog", 0, 0, G_OPTION_ARG_STRING, &dialog, "show dialog with text", nullptr},
        {"theme", 0, 0, G_OPTION_ARG_STRING, &theme, "select theme: auto/light/dark", nullptr},
        {"opengl", 0, 0, G_OPTION_ARG_NONE, &flags[0], "enable OpenGL", nullptr},
        {"xv", 0, 0, G_OPTION_ARG_NONE, &flags[1], "enable X11 video extension", nullptr},
        {"vaapi-proc", 0, 0, G_OPTION_ARG_NONE, &flags[2], "VAAPI video post processing", nullptr},
        {"vaapi-h264enc", 0, 0, G_OPTION_ARG_NONE, &flags[3], "VAAPI H264 encoder", nullptr},
        {"vaapi-h265enc", 0, 0, G_OPTION_ARG_NONE, &flags[4], "VAAPI H265 encoder", nullptr},
        {"vaapi-vp8enc", 0, 0, G_OPTION_ARG_NONE, &flags[5], "VAAPI VP8 encoder", nullptr},
        {"vaapi-vp9enc", 0, 0, G_OPTION_ARG_NONE, &flags[6], "VAAPI VP9 encoder", nullptr},
        {"vaapi-av1enc", 0, 0, G_OPTION_ARG_NONE, &flags[7], "VAAPI AV1 encoder", nullptr},
        {"vaapi-h264dec", 0, 0, G_OPTION_ARG_NONE, &flags[8], "VAAPI H264 decoder", nullptr},
        {"vaapi-h265dec", 0, 0, G_OPTION_ARG_NONE, &flags[9], "VAAPI H265 decoder", nullptr},
        {"vaapi-vp8dec", 0, 0, G_OPTION_ARG_NONE, &flags[10], "VAAPI VP8 decoder", nullptr},
        {"vaapi-vp9dec", 0, 0, G_OPTION_ARG_NONE, &flags[11], "VAAPI VP9 decoder", nullptr},
        {"vaapi-av1dec", 0, 0, G_OPTION_ARG_NONE, &flags[12], "VAAPI AV1 decoder", nullptr},
        {toastName.c_str(), 0, 0, G_OPTION_ARG_NONE, &toast, "Toast activation", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };

    std::unique_ptr<GOptionContext, void (*)(GOptionContext *)> context(g_option_context_new(""),
                                                                        g_option_context_free);
    GOptionGroup *group = g_option_group_new("options", "main options", "", nullptr, nullptr);
    g_option_group_add_entries(group, entries);
    g_option_context_set_ignore_unknown_options(context.get(), TRUE);
    // GLib's own help would end the process in the middle of the main loop,
    // with the engine running; the caller prints it and ends in order.
    g_option_context_set_help_enabled(context.get(), FALSE);
    g_option_context_add_group(context.get(), group);

    for (size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i) {
        if (!is_help_request(arguments[i])) continue;
        gchar *help = g_option_context_get_help(context.get(), FALSE, group);
        message = help != nullptr ? help : "";
        g_free(help);
        return 1;
    }

    gchar **vector = g_new0(gchar *, arguments.size() + 1);
    for (size_t i = 0; i < arguments.size(); ++i) vector[i] = g_strdup(arguments[i].c_str());
    GError *error = nullptr;
    const gboolean parsed = g_option_context_parse_strv(context.get(), &vector, &error);
    arguments.clear();
    for (gchar **argument = vector; argument != nullptr && *argument != nullptr; ++argument)
        arguments.emplace_back(*argument);
    g_strfreev(vector);

    if (!parsed) {
        message = error != nullptr ? error->message : "the command line could not be read";
        if (error != nullptr) g_error_free(error);
        g_free(dialog);
        g_free(theme);
        return -1;
    }
    if (dialog != nullptr) dialogText = dialog;
    if (theme != nullptr) themeName = theme;
    g_free(dialog);
    g_free(theme);
    for (int i = 0; i < 13; ++i)
        if (flags[i]) *targets[i] = true;
    if (toast) toastActivated = true;
    return 0;
}

int VeltranaApp::on_command_line(const Glib::RefPtr<Gio::ApplicationCommandLine> &commandLine)
{
    html_register_resource();

    int count = 0;
    char **vector = commandLine->get_arguments(count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count && vector != nullptr && vector[i] != nullptr; ++i) arguments.emplace_back(vector[i]);
    g_strfreev(vector);

    std::string message;
    const int parsed = parseOptions(arguments, message);
    if (parsed > 0) {
        commandLine->print(message);
        return 0;
    }
    if (parsed < 0) {
        commandLine->printerr(message + "\n");
        return 1;
    }

    programFolder = pk_program_folder(arguments);
    const std::string localeBase = pk_locale_base(programFolder);
    if (!dialogText.empty()) {
        activate();
        return 0;
    }

    const std::string localeFolder = localeBase + "/locale";
    setlocale(LC_ALL, "");
    // The user's languages, unless the environment names its own.
    setenv("LANGUAGE", pk_language_list(setlocale(LC_MESSAGES, nullptr)).c_str(), 0);
    const std::string domain = VeltranaAppInfo().productName(false, false);
    bindtextdomain(domain.c_str(), localeFolder.c_str());
    bind_textdomain_codeset(domain.c_str(), "UTF-8");
    textdomain(domain.c_str());
    setenv("GTK_CSD", "0", 1);

    dataFolder = pk_data_folder();
    const std::shared_ptr<Notifications> notifications = Notifications::instance();
    notifications->iconPath = pk_write_notification_icon(dataFolder);
    notifications->initialize();

    if (pk_publish_folders(programFolder, dataFolder) != 0)
        core_log(CORE_LOG_ERROR, kModule, "the program's folders were not published; settings use the current folder");
    activate();
    return 0;
}
