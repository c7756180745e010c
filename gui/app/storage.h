// File storage and application paths: the two small interfaces that keep the
// settings code free of file-system details.
//
// IPkStorage reads and writes whole files by path; DiskIO does so with the
// C file streams. PkAppPath names the files the application keeps in its
// per-user data folder; VeltranaAppPath builds their full paths from the
// data folder the command-line handler publishes in the runtime's replacing
// value list ("fs.path.encoding" index 9 = 2, "fs.path" index 9 = the folder
// as UTF-16). Both are templates over the path type; on Linux they are used
// with PkPath, a UTF-8 std::string, and files are joined to the folder with
// "/". Neither keeps state: callers make them on the stack for one load or
// save, and every call opens its own file or reads the value list afresh.
//
// Called on the GTK main thread; nothing here locks (the value-list reads
// take the list's own lock). No function throws except on memory
// exhaustion. Reads give empty data on any failure (a missing file
// included); writes return 0 or -1 and are atomic: the bytes go to a
// temporary file in the same folder that replaces the target only once all
// of them are on disk, so a failed write leaves the previous file as it was.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using PkPath = std::string;

template <class Path>
class IPkStorage {
public:
    virtual ~IPkStorage() = default;
    // An open stream, or null when the file cannot be opened in that mode.
    virtual FILE *open(const Path &path, const Path &mode) = 0;
    // Closes a non-null stream and sets the pointer to null.
    virtual void close(FILE *&file) = 0;
    // The whole file; empty when it cannot be read.
    virtual std::string readText(const Path &path) = 0;
    virtual int writeText(const Path &path, const std::string &text) = 0;
    virtual std::vector<uint8_t> readBytes(const Path &path) = 0;
    // Creates or replaces the file with exactly these bytes: 0, or -1 with
    // the previous file untouched.
    virtual int writeBytes(const Path &path, const std::vector<uint8_t> &bytes) = 0;
    // 0, or -1 when the source cannot be read or the destination cannot be
    // written; the destination is untouched then.
    virtual int copy(const Path &destination, const Path &source) = 0;
    // The file's size in bytes, or -1.
    virtual int64_t size(const Path &path) = 0;
    // Deletes the file; the outcome is not reported.
    virtual void remove(const Path &path) = 0;
};

template <class Path>
class DiskIO : public IPkStorage<Path> {
public:
    FILE *open(const Path &path, const Path &mode) override;
    void close(FILE *&file) override;
    std::string readText(const Path &path) override;
    int writeText(const Path &path, const std::string &text) override;
    std::vector<uint8_t> readBytes(const Path &path) override;
    int writeBytes(const Path &path, const std::vector<uint8_t> &bytes) override;
    int copy(const Path &destination, const Path &source) override;
    int64_t size(const Path &path) override;
    void remove(const Path &path) override;
};

// The files of the per-user data folder.
#define PK_SETTINGS_FILE_NAME "veltrana.main.xml"
#define PK_CODECS_FILE_NAME "veltrana.codecs.xml"
#define PK_AVATAR_FILE_NAME "veltrana.avatar"

template <class Path>
class PkAppPath {
public:
    virtual ~PkAppPath() = default;
    virtual Path settingsFile() = 0;
    virtual Path codecsFile() = 0;
    // Always the empty path.
    virtual Path spareFile() = 0;
    virtual Path avatarFile() = 0;
    // The file named name + "." + extension (both UTF-8).
    virtual Path filePath(const std::string &name, const std::string &extension) = 0;
};

// Without a published data folder (or with an empty one) every path is the
// bare file name, which the file streams take from the current directory.
template <class Path>
class VeltranaAppPath : public PkAppPath<Path> {
public:
    Path settingsFile() override;
    Path codecsFile() override;
    Path spareFile() override;
    Path avatarFile() override;
    Path filePath(const std::string &name, const std::string &extension) override;
};

extern template class DiskIO<PkPath>;
extern template class VeltranaAppPath<PkPath>;
