// Command-line node: starts the engine side without a window and prints
// what it does. Until the window exists this is how the program is run.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/cpu.h"
#include "core/names.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void usage(FILE *out)
{
    fprintf(out,
            "usage: veltrana-node [--once]\n"
            "  --once   print the node's start-up facts and exit\n");
}

}  // namespace

int main(int argc, char **argv)
{
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--once") == 0) {
            once = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "veltrana-node: unknown option '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    CoreName session;
    core_seq_name(&session, CORE_SEQ_SSN, nullptr);
    printf("veltrana-node: starting\n");
    printf("  processors: %u (class %d)\n", core_cpu_count(), core_cpu_class());
    printf("  wall clock: %llu us since 1970\n", static_cast<unsigned long long>(core_clock_wall_us()));
    printf("  run id:     %s\n", session.text);
    fflush(stdout);
    if (once) return 0;

    printf("veltrana-node: running; Ctrl-C stops\n");
    fflush(stdout);
    while (!g_stop) core_sleep_ms(100);
    printf("veltrana-node: stopped after %llu ms\n", static_cast<unsigned long long>(core_clock_mono_ms()));
    return 0;
}
