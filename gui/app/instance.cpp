#include "app/instance.h"

#include <fcntl.h>
#include <glib.h>
#include <gtk/gtk.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/log.h"

namespace {

constexpr const char *kModule = "shell";

int open_lock_file(const std::string &folder, const std::string &name, std::string *path)
{
    if (folder.empty()) return -1;
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) return -1;
    *path = folder + "/" + name + ".lock";
    return open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

}  // namespace

PkInstanceLock::~PkInstanceLock() { release(); }

PkInstanceState PkInstanceLock::acquire(const std::string &name)
{
    release();
    fd = open_lock_file(g_get_user_runtime_dir(), name, &path);
    if (fd < 0) {
        gchar *data = g_build_filename(g_get_user_config_dir(), name.c_str(), nullptr);
        fd = open_lock_file(data, name, &path);
        g_free(data);
    }
    if (fd < 0) {
        core_log(CORE_LOG_ERROR, kModule, "no lock file for the single-instance guard: %s", g_strerror(errno));
        return PK_INSTANCE_FAILED;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return PK_INSTANCE_FIRST;
    const bool held = errno == EWOULDBLOCK;
    release();
    return held ? PK_INSTANCE_RUNNING : PK_INSTANCE_FAILED;
}

void PkInstanceLock::release()
{
    if (fd >= 0) close(fd);
    fd = -1;
}

void pk_show_system_message(const std::string &caption, const std::string &text)
{
    if (!gtk_init_check(nullptr, nullptr)) {
        fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    GtkWidget *box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s",
                                            text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}
