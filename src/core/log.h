// Diagnostic log of the engine side, written to standard error.
// The level comes from VELTRANA_LOG (error, warn, info, debug; default warn).
// Safe from any thread; one line is written in one call.
#pragma once

enum CoreLogLevel { CORE_LOG_ERROR = 0, CORE_LOG_WARN = 1, CORE_LOG_INFO = 2, CORE_LOG_DEBUG = 3 };

void core_log(CoreLogLevel level, const char *module, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

bool core_log_enabled(CoreLogLevel level);
