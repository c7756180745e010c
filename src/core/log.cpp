#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"

namespace {

int configured_level()
{
    static const int level = [] {
        const char *value = getenv("VELTRANA_LOG");
        if (value == nullptr) return static_cast<int>(CORE_LOG_WARN);
        if (strcmp(value, "error") == 0) return static_cast<int>(CORE_LOG_ERROR);
        if (strcmp(value, "info") == 0) return static_cast<int>(CORE_LOG_INFO);
        if (strcmp(value, "debug") == 0) return static_cast<int>(CORE_LOG_DEBUG);
        return static_cast<int>(CORE_LOG_WARN);
    }();
    return level;
}

const char *const kLevelNames[] = {"error", "warn", "info", "debug"};

}  // namespace

bool core_log_enabled(CoreLogLevel level)
{
    return static_cast<int>(level) <= configured_level();
}

void core_log(CoreLogLevel level, const char *module, const char *format, ...)
{
    if (!core_log_enabled(level)) return;
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    uint64_t ms = core_clock_mono_ns() / 1000000;
    fprintf(stderr, "[%llu.%03llu] %s %s: %s\n", static_cast<unsigned long long>(ms / 1000),
            static_cast<unsigned long long>(ms % 1000), kLevelNames[level], module, message);
}
