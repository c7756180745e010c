// Command-line node: starts the engine side without a window and prints
// what it does. Until the window exists this is how the program is run.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/cpu.h"
#include "core/executor.h"
#include "core/handle.h"
#include "core/names.h"
#include "core/pool.h"
#include "core/system.h"
#include "core/values.h"
#include "ravelkit/init.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

bool executor_exists(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    CoreExecutor *executor = core_executor_find(&name);
    core_executor_release(executor);
    return executor != nullptr;
}

bool pool_exists(const char *text)
{
    CoreName name;
    core_name_format(&name, "%s", text);
    return core_pool_exists(&name) == 1;
}

int handle_tables_made()
{
    int made = 0;
    for (CoreHandleTable *table : core_handle_tables)
        if (table != nullptr) made++;
    return made;
}

const char *yes_no(bool value) { return value ? "yes" : "no"; }

// Implementations in a video codec list: every entry but the no-codec one.
uint32_t video_implementations(uint32_t direction)
{
    uint32_t found = 0;
    CoreVideoCodecDesc desc;
    for (int64_t i = 0; core_codec_get_video(i, direction, &desc) == 0; i++)
        if (desc.acceleration != RAVK_ACCEL_NONE) found++;
    return found;
}

// Takes the engine side down in the reverse order of its start.
void stop_node(bool framework_started)
{
    if (framework_started) ravk_shutdown();
    core_system_stop();
}

void usage(FILE *out)
{
    fprintf(out,
            "usage: veltrana-node [--once]\n"
            "  --once   print the node's start-up facts and exit\n");
}

}  // namespace

// Sanitizer builds only: GLib abandons its first quark block, allocated by
// its library constructor, on purpose when GStreamer's start grows the
// quark table. GLib has no frame pointers, so only the slow unwinder sees
// _dl_init in that allocation's stack.
extern "C" const char *__lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=8"; }

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

    printf("veltrana-node: starting\n");
    if (core_system_start(0) != CORE_OK) {
        fprintf(stderr, "veltrana-node: the base runtime did not start\n");
        core_system_stop();  // takes down the parts a failed start made
        return 1;
    }
    // After the start: it chooses the sequence base of the run id.
    CoreName session;
    core_seq_name(&session, CORE_SEQ_SSN, nullptr);
    printf("  processors: %u (class %d)\n", core_cpu_count(), core_cpu_class());
    printf("  wall clock: %llu us since 1970\n", static_cast<unsigned long long>(core_clock_wall_us()));
    printf("  run id:     %s\n", session.text);
    printf("  base runtime started:\n");
    printf("    default executor: %s\n", yes_no(executor_exists(CORE_DEFAULT_EXECUTOR)));
    printf("    default pool:     %s\n", yes_no(pool_exists(CORE_DEFAULT_POOL)));
    printf("    handle tables:    %d of %d\n", handle_tables_made(), static_cast<int>(CORE_HANDLE_TABLE_COUNT));
    printf("    value lists:      %s\n",
           yes_no(core_process_valuelist(0) != nullptr && core_process_valuelist(1) != nullptr));
    printf("    identity seed:    %d\n", core_identity_seed_index());
    fflush(stdout);

    if (ravk_init(0) != 0) {
        fprintf(stderr, "veltrana-node: the multimedia framework did not start\n");
        stop_node(false);
        return 1;
    }
    printf("  multimedia framework started; codecs registered and ranked:\n");
    printf("    audio encoders:   %u\n", core_codec_count_audio(RAVK_CODEC_ENCODER));
    printf("    audio decoders:   %u\n", core_codec_count_audio(RAVK_CODEC_DECODER));
    printf("    video encoders:   %u\n", video_implementations(RAVK_CODEC_ENCODER));
    printf("    video decoders:   %u\n", video_implementations(RAVK_CODEC_DECODER));
    fflush(stdout);
    if (once) {
        stop_node(true);
        printf("veltrana-node: stopped\n");
        return 0;
    }

    printf("veltrana-node: running; Ctrl-C stops\n");
    fflush(stdout);
    while (!g_stop) core_sleep_ms(100);
    stop_node(true);
    printf("veltrana-node: stopped after %llu ms\n", static_cast<unsigned long long>(core_clock_mono_ms()));
    return 0;
}
