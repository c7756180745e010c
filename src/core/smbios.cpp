#include "core/smbios.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kTypeSystemInformation = 1;
constexpr uint8_t kTypeEndOfTable = 127;

uint32_t read_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Offset just past the double zero that ends the string set starting at
// `pos`, or `length` + 1 when the table ends first.
size_t skip_string_set(const uint8_t *table, size_t length, size_t pos)
{
    for (size_t p = pos; p + 1 < length; ++p)
        if (table[p] == 0 && table[p + 1] == 0) return p + 2;
    return length + 1;
}

}  // namespace

const char *core_smbios_string(const uint8_t *raw, size_t raw_size, uint32_t field_offset)
{
    if (raw == nullptr || raw_size < CORE_SMBIOS_HEADER_SIZE) return nullptr;
    size_t length = read_le32(raw + 4);
    if (length > raw_size - CORE_SMBIOS_HEADER_SIZE) length = raw_size - CORE_SMBIOS_HEADER_SIZE;
    const uint8_t *table = raw + CORE_SMBIOS_HEADER_SIZE;
    size_t field = field_offset % 256;

    size_t pos = 0;
    while (pos + 4 <= length) {
        uint8_t type = table[pos];
        uint8_t formatted = table[pos + 1];
        if (formatted < 4 || type == kTypeEndOfTable || pos + formatted > length) return nullptr;
        if (type == kTypeSystemInformation && formatted > 7) {
            if (field >= formatted) return nullptr;
            uint8_t number = table[pos + field];
            if (number == 0) return nullptr;
            size_t s = pos + formatted;
            for (uint8_t i = 1;; ++i) {
                if (s >= length || table[s] == 0) return nullptr;
                size_t end = s;
                while (end < length && table[end] != 0) ++end;
                if (end >= length) return nullptr;  // no terminator inside the table
                if (i == number) {
                    for (size_t k = s; k < end; ++k)
                        if (table[k] < 0x20 || table[k] > 0x7E) return nullptr;
                    return reinterpret_cast<const char *>(table + s);
                }
                s = end + 1;
            }
        }
        pos = skip_string_set(table, length, pos + formatted);
    }
    return nullptr;
}

uint8_t *core_smbios_table_load(size_t *size_out)
{
    FILE *file = fopen("/sys/firmware/dmi/tables/DMI", "rb");
    if (file == nullptr) return nullptr;
    size_t capacity = 4096, used = CORE_SMBIOS_HEADER_SIZE;
    auto *buffer = static_cast<uint8_t *>(calloc(1, capacity));
    while (buffer != nullptr) {
        if (used == capacity) {
            auto *grown = static_cast<uint8_t *>(realloc(buffer, capacity * 2));
            if (grown == nullptr) {
                free(buffer);
                buffer = nullptr;
                break;
            }
            buffer = grown;
            capacity *= 2;
        }
        size_t n = fread(buffer + used, 1, capacity - used, file);
        if (n == 0) break;
        used += n;
    }
    fclose(file);
    if (buffer == nullptr || used == CORE_SMBIOS_HEADER_SIZE) {
        free(buffer);
        return nullptr;
    }
    uint32_t length = static_cast<uint32_t>(used - CORE_SMBIOS_HEADER_SIZE);
    memset(buffer, 0, 4);
    for (int i = 0; i < 4; ++i) buffer[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    if (size_out != nullptr) *size_out = used;
    return buffer;
}
