// Machine class by logical processor count, used to rank codecs and size
// pipelines. Any thread.
#pragma once

#include <cstdint>

// Logical processors this process may run on (at least 1).
uint32_t core_cpu_count(void);

// Test seam: a count other than 0 replaces the system's answer.
void core_cpu_count_override(uint32_t count);

// Class 0..7 of a processor count: 0-3 -> 0, 4-7 -> 1, ... 256 or more -> 7.
int core_cpu_class_for(uint32_t count);

// Class of this machine.
int core_cpu_class(void);
