#include "toolkit/main_loop.h"

void pi_post_main(std::function<void()> work, int priority)
{
    if (!work) return;
    g_idle_add_full(
        priority,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()> *>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(work)), [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
}
