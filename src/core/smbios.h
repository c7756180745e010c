// Text lookups in the firmware's SMBIOS System Information structure.
//
// The raw table is an 8-byte header {calling method, major, minor, DMI
// revision, u32 table length (little-endian)} followed by the structure table.
// Every read is bounded by the size the caller passes: the table comes from
// firmware and its offsets are not trusted. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#define CORE_SMBIOS_HEADER_SIZE 8

// The text of the string whose number stands at `field_offset` (taken
// modulo 256) of the first System Information structure (type 1); NULL when
// there is none, when the number is 0 or out of range, or when the text is
// empty or not printable ASCII. The result points into `raw`.
const char *core_smbios_string(const uint8_t *raw, size_t raw_size, uint32_t field_offset);

// The machine's table with the header in front, malloc'd, or NULL when the
// system does not expose it (it needs root). The caller frees it.
uint8_t *core_smbios_table_load(size_t *size_out);
