#include "app/storage.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "core/log.h"
#include "services/facade.h"

namespace {

constexpr const char *kModule = "storage";
constexpr size_t kChunk = 8192;
// The data folder's entries in the replacing value list, and the encoding
// word that says the folder is UTF-16 text.
constexpr const char *kPathKey = "fs.path";
constexpr const char *kPathEncodingKey = "fs.path.encoding";
constexpr int32_t kPathEncodingUtf16 = 2;

// The whole file; false on any failure, an empty file being a success.
bool read_file(const std::string &path, std::vector<uint8_t> *out)
{
    out->clear();
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    uint8_t chunk[kChunk];
    bool ok = true;
    for (;;) {
        const size_t got = fread(chunk, 1, sizeof(chunk), file);
        if (ferror(file)) {
            ok = false;
            break;
        }
        out->insert(out->end(), chunk, chunk + got);
        if (got < sizeof(chunk)) break;
    }
    fclose(file);
    if (!ok) out->clear();
    return ok;
}

bool write_all(int fd, const uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t put = write(fd, data, length);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

// The bytes go to a temporary file beside the target, which is flushed to
// disk and then renamed over it: a reader, or the next start after a crash,
// sees the old file or the new one, never a part of either.
int write_file_atomically(const std::string &path, const uint8_t *data, size_t length)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        core_log(CORE_LOG_WARN, kModule, "cannot write \"%s\": %s", path.c_str(), strerror(errno));
        return -1;
    }
    bool ok = write_all(fd, data, length) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0) return 0;
    core_log(CORE_LOG_WARN, kModule, "cannot write \"%s\": %s", path.c_str(), strerror(errno));
    unlink(temporary.c_str());
    return -1;
}

// The published data folder as UTF-8; empty when there is none.
std::string data_folder()
{
    if (pk_store_get_int(kPathEncodingKey) != kPathEncodingUtf16) return std::string();
    const std::u16string wide = pk_store_get_wide_text(kPathKey);
    if (wide.empty()) return std::string();
    gchar *utf8 = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(wide.data()), static_cast<glong>(wide.size()),
                                  nullptr, nullptr, nullptr);
    if (utf8 == nullptr) {
        core_log(CORE_LOG_WARN, kModule, "the published data folder is not valid UTF-16");
        return std::string();
    }
    std::string folder(utf8);
    g_free(utf8);
    return folder;
}

std::string in_data_folder(const std::string &name)
{
    const std::string folder = data_folder();
    return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

// ---- DiskIO ----

template <class Path>
FILE *DiskIO<Path>::open(const Path &path, const Path &mode)
{
    return fopen(path.c_str(), mode.c_str());
}

template <class Path>
void DiskIO<Path>::close(FILE *&file)
{
    if (file == nullptr) return;
    fclose(file);
    file = nullptr;
}

template <class Path>
std::vector<uint8_t> DiskIO<Path>::readBytes(const Path &path)
{
    std::vector<uint8_t> bytes;
    read_file(path, &bytes);
    return bytes;
}

template <class Path>
std::string DiskIO<Path>::readText(const Path &path)
{
    const std::vector<uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

template <class Path>
int DiskIO<Path>::writeBytes(const Path &path, const std::vector<uint8_t> &bytes)
{
    return write_file_atomically(path, bytes.data(), bytes.size());
}

template <class Path>
int DiskIO<Path>::writeText(const Path &path, const std::string &text)
{
    return write_file_atomically(path, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

template <class Path>
int DiskIO<Path>::copy(const Path &destination, const Path &source)
{
    std::vector<uint8_t> bytes;
    if (!read_file(source, &bytes)) return -1;
    return writeBytes(destination, bytes);
}

template <class Path>
int64_t DiskIO<Path>::size(const Path &path)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    struct stat info;
    const bool ok = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
    fclose(file);
    return ok ? static_cast<int64_t>(info.st_size) : -1;
}

template <class Path>
void DiskIO<Path>::remove(const Path &path)
{
    unlink(path.c_str());
}

// ---- VeltranaAppPath ----

template <class Path>
Path VeltranaAppPath<Path>::settingsFile()
{
    return in_data_folder(PK_SETTINGS_FILE_NAME);
}

template <class Path>
Path VeltranaAppPath<Path>::codecsFile()
{
    return in_data_folder(PK_CODECS_FILE_NAME);
}

template <class Path>
Path VeltranaAppPath<Path>::spareFile()
{
    return Path();
}

template <class Path>
Path VeltranaAppPath<Path>::avatarFile()
{
    return in_data_folder(PK_AVATAR_FILE_NAME);
}

template <class Path>
Path VeltranaAppPath<Path>::filePath(const std::string &name, const std::string &extension)
{
    // Linux file names are UTF-8 already: the name needs no conversion.
    return in_data_folder(name + "." + extension);
}

template class DiskIO<PkPath>;
template class VeltranaAppPath<PkPath>;
