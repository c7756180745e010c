#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "app/storage.h"
#include "app_test_support.h"

namespace {

const auto *const kRuntime = ::testing::AddGlobalTestEnvironment(new apptest::Runtime);

class DiskStorage : public apptest::DataFolder {
protected:
    std::vector<std::string> entries() const
    {
        std::vector<std::string> out;
        for (const auto &entry : std::filesystem::directory_iterator(folder))
            out.push_back(entry.path().filename().string());
        return out;
    }

    DiskIO<PkPath> disk;
};

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

TEST_F(DiskStorage, ReadsWholeFiles)
{
    EXPECT_EQ(disk.readText(file("missing")), "");
    EXPECT_TRUE(disk.readBytes(file("missing")).empty());
    EXPECT_TRUE(disk.readBytes(folder.string()).empty()) << "a folder reads as nothing";

    for (size_t n : {size_t(0), size_t(1), size_t(8191), size_t(8192), size_t(8193), size_t(20000)}) {
        const std::vector<uint8_t> bytes = pattern(n);
        apptest::write_file(file("f"), std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(disk.readBytes(file("f")), bytes) << n;
        EXPECT_EQ(disk.readText(file("f")), std::string(bytes.begin(), bytes.end())) << n;
        EXPECT_EQ(disk.size(file("f")), static_cast<int64_t>(n));
    }
}

TEST_F(DiskStorage, WritesReplaceTheFileWhole)
{
    EXPECT_EQ(disk.writeBytes(file("f"), pattern(20000)), 0);
    EXPECT_EQ(disk.readBytes(file("f")), pattern(20000));
    EXPECT_EQ(disk.writeText(file("f"), "short"), 0);
    EXPECT_EQ(apptest::read_file(file("f")), "short");
    EXPECT_EQ(disk.writeBytes(file("f"), {}), 0);
    EXPECT_EQ(disk.size(file("f")), 0) << "empty data truncates";
    EXPECT_EQ(disk.writeBytes(file("new-empty"), {}), 0);
    EXPECT_EQ(disk.size(file("new-empty")), 0) << "empty data creates";
    EXPECT_EQ(entries().size(), 2u) << "no temporary file is left behind";
}

TEST_F(DiskStorage, FailedWriteKeepsThePreviousFile)
{
    EXPECT_EQ(disk.writeText(file("missing-folder/f"), "x"), -1);
    EXPECT_FALSE(std::filesystem::exists(file("missing-folder")));

    ASSERT_EQ(disk.writeText(file("f"), "previous"), 0);
    // A file-size limit makes the write fail half way even for root; the
    // signal it raises is ignored so that write() reports EFBIG instead.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = disk.writeBytes(file("f"), pattern(20000));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(apptest::read_file(file("f")), "previous");
    EXPECT_EQ(entries(), std::vector<std::string>{"f"}) << "the temporary file is removed";
}

TEST_F(DiskStorage, CopyNeedsAReadableSource)
{
    ASSERT_EQ(disk.writeText(file("destination"), "kept"), 0);
    EXPECT_EQ(disk.copy(file("destination"), file("missing")), -1);
    EXPECT_EQ(apptest::read_file(file("destination")), "kept");

    ASSERT_EQ(disk.writeBytes(file("source"), pattern(9000)), 0);
    EXPECT_EQ(disk.copy(file("destination"), file("source")), 0);
    EXPECT_EQ(disk.readBytes(file("destination")), pattern(9000));
    ASSERT_EQ(disk.writeBytes(file("empty"), {}), 0);
    EXPECT_EQ(disk.copy(file("destination"), file("empty")), 0);
    EXPECT_EQ(disk.size(file("destination")), 0);
}

TEST_F(DiskStorage, SizeOpenCloseRemove)
{
    EXPECT_EQ(disk.size(file("missing")), -1);
    EXPECT_EQ(disk.size(folder.string()), -1);

    FILE *stream = disk.open(file("download.bin"), "wb+");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fwrite("abc", 1, 3, stream), 3u);
    disk.close(stream);
    EXPECT_EQ(stream, nullptr);
    disk.close(stream);  // already closed: nothing happens
    EXPECT_EQ(disk.size(file("download.bin")), 3);
    EXPECT_EQ(disk.open(file("missing"), "rb"), nullptr);

    disk.remove(file("download.bin"));
    EXPECT_FALSE(std::filesystem::exists(file("download.bin")));
    disk.remove(file("download.bin"));  // missing: not reported
}

// ---- application paths ----

TEST_F(DiskStorage, PathsInThePublishedDataFolder)
{
    VeltranaAppPath<PkPath> paths;
    const std::string f = folder.string();
    EXPECT_EQ(paths.settingsFile(), f + "/veltrana.main.xml");
    EXPECT_EQ(paths.codecsFile(), f + "/veltrana.codecs.xml");
    EXPECT_EQ(paths.avatarFile(), f + "/veltrana.avatar");
    EXPECT_EQ(paths.spareFile(), "");
    EXPECT_EQ(paths.filePath("update", "msi"), f + "/update.msi");
    EXPECT_EQ(paths.filePath("gr\xC3\xBC\xC3\x9F" "e", "bin"), f + "/gr\xC3\xBC\xC3\x9F" "e.bin");
}

TEST_F(DiskStorage, BareNamesWithoutAFolder)
{
    VeltranaAppPath<PkPath> paths;
    apptest::publish_data_folder("");
    EXPECT_EQ(paths.settingsFile(), "veltrana.main.xml") << "empty folder";

    apptest::publish_data_folder(folder.string());
    ASSERT_EQ(pk_store_set_int("fs.path.encoding", 9, 0), 0);
    EXPECT_EQ(paths.settingsFile(), "veltrana.main.xml") << "folder not published as UTF-16";
    EXPECT_EQ(paths.filePath("update", "exe"), "update.exe");
    EXPECT_EQ(paths.spareFile(), "");

    // A folder text that is not UTF-16 (a lone surrogate) gives no folder.
    ASSERT_EQ(pk_store_set_int("fs.path.encoding", 9, 2), 0);
    const char16_t broken[] = {u'/', 0xD800, u'x'};
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(CORE_VALUELIST_REPLACE), "fs.path", 9, 1, broken,
                                 sizeof(broken)),
              0);
    EXPECT_EQ(paths.avatarFile(), "veltrana.avatar");
}

}  // namespace
