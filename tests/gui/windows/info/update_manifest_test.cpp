// The update manifest and the download links: which entry is taken, what
// makes a manifest malformed, the version rule, the rewriting of hosted
// links, the target path and the start-up clean-up.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "info_test_support.h"
#include "app/info.h"
#include "windows/info/update_dialog.h"

namespace {

std::string entry(const std::string &os, const std::string &cpu, const std::string &product, int major, int minor,
                  const std::string &sha = "\"sha256\": \"AB\"")
{
    return "{\"os\": \"" + os + "\", \"cpu\": \"" + cpu + "\", \"product\": \"" + product +
           "\", \"method\": \"link\", \"url\": \"http://host/f\", " + sha + ", \"type\": \"exe\", \"major\": " +
           std::to_string(major) + ", \"minor\": " + std::to_string(minor) + "}";
}

std::string manifest(const std::string &entries) { return "{\"version\": 1, \"subject\": [" + entries + "]}"; }

struct Parsed {
    int result = -2;
    int major = -1, minor = -1;
    std::string method, url, sha256, type;
};

Parsed parse(const std::string &json)
{
    Parsed p;
    p.result = UpdateDialog::parseManifest(json, "AMD64", "net.veltrana", PK_UPDATE_OS, p.major, p.minor, p.method,
                                           p.url, p.sha256, p.type);
    return p;
}

TEST(UpdateManifest, WhichEntryIsTaken)
{
    const std::string ours = entry(PK_UPDATE_OS, "AMD64", "net.veltrana", 7, 3);
    const struct {
        const char *purpose;
        std::string json;
        int result;
        int major;
    } cases[] = {
        {"the matching entry", manifest(entry("Windows", "AMD64", "net.veltrana", 9, 0) + "," + ours), 1, 7},
        {"values compared in lower case", manifest(entry("linux", "amd64", "NET.VELTRANA", 8, 1)), 1, 8},
        {"keys in other case",
         "{\"VERSION\": 1, \"Subject\": [{\"OS\": \"Linux\", \"Cpu\": \"AMD64\", \"PRODUCT\": \"net.veltrana\", "
         "\"Method\": \"link\", \"URL\": \"u\", \"SHA256\": \"ab\", \"Type\": \"exe\", \"MAJOR\": 7, \"Minor\": 2}]}",
         1, 7},
        {"the first match wins", manifest(ours + "," + entry(PK_UPDATE_OS, "AMD64", "net.veltrana", 9, 9)), 1, 7},
        {"an empty subject", manifest(""), 0, -1},
        {"no entry for us", manifest(entry(PK_UPDATE_OS, "ARM64", "net.veltrana", 8, 0)), 0, -1},
        {"not JSON", "{\"version\": 1, \"subject\": [", -1, -1},
        {"empty text", "", -1, -1},
        {"no version", "{\"subject\": [" + ours + "]}", -1, -1},
        {"no subject", "{\"version\": 1}", -1, -1},
        {"an earlier entry lacks a key",
         manifest(entry("Windows", "AMD64", "net.veltrana", 9, 0, "\"sha\": \"AB\"") + "," + ours), -1, -1},
        {"a number where text belongs", manifest(entry(PK_UPDATE_OS, "AMD64", "net.veltrana", 8, 0, "\"sha256\": 5")),
         -1, -1},
        {"text where a number belongs",
         manifest("{\"os\": \"Linux\", \"cpu\": \"AMD64\", \"product\": \"net.veltrana\", \"method\": \"link\", "
                  "\"url\": \"u\", \"sha256\": \"ab\", \"type\": \"exe\", \"major\": \"8\", \"minor\": 0}"),
         -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.purpose);
        const Parsed p = parse(c.json);
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.major, c.major) << "outputs are written only on a match";
    }
    const Parsed p = parse(manifest(ours));
    EXPECT_EQ(p.minor, 3);
    EXPECT_EQ(p.method, "link");
    EXPECT_EQ(p.url, "http://host/f");
    EXPECT_EQ(p.sha256, "AB");
    EXPECT_EQ(p.type, "exe");
}

TEST(UpdateManifest, OnlyANewerVersionIsOffered)
{
    VeltranaAppInfo info;
    ASSERT_EQ(info.majorVersion(), 7);
    ASSERT_EQ(info.minorVersion(), 0);
    const struct {
        int major, minor, result;
    } cases[] = {{7, 0, 0}, {7, 1, 1}, {8, 0, 1}, {6, 9, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        IPkWeb::Response response;
        response.body = manifest(entry(PK_UPDATE_OS, "AMD64", info.webAppId(), c.major, c.minor));
        int major = 0, minor = 0;
        std::string method, url, sha, type;
        EXPECT_EQ(UpdateDialog::parseResponse(response, major, minor, method, url, sha, type), c.result);
        EXPECT_EQ(major, c.major) << "written also when not newer";
    }
}

TEST(UpdateManifest, DownloadLinks)
{
    const struct {
        const char *method, *url, *link;
    } cases[] = {
        {"link", "http://example.test/a?dl=0", "http://example.test/a?dl=0"},
        {"dropbox", "https://box.test/s/x/f.exe?dl=0&x=dl=0", "https://box.test/s/x/f.exe?dl=1&x=dl=1"},
        {"dropbox", "https://box.test/s/x/f.exe", "https://box.test/s/x/f.exe"},
        {"googledrive", "https://drive.test/file/d/ID42/view",
         "https://drive.usercontent.google.com/download?id=ID42&confirm=yes"},
        {"googledrive", "drive.test/file/d/ID42/view", "https://drive.usercontent.google.com/download?id=ID42&confirm=yes"},
        {"googledrive", "https://drive.test/file/d", ""},
        {"googledrive", "https://drive.test/file/d//view", ""},
        {"Link", "http://example.test/a", ""},
        {"ftp", "ftp://example.test/a", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(UpdateDialog::downloadLink(c.method, c.url), c.link) << c.method << " " << c.url;
}

TEST(UpdateManifest, TargetFilesStayInTheDataFolder)
{
    const std::string folder = infotest::scratch_data_folder();
    ASSERT_FALSE(folder.empty());

    EXPECT_EQ(UpdateDialog::targetPath("msi"), folder + "/update.msi");
    for (const char *unsafe : {"", "../../x", "exe/..", "e xe", ".exe"}) EXPECT_EQ(UpdateDialog::targetPath(unsafe), "") << unsafe;

    // The start-up clean-up removes the three kinds of leftovers and
    // nothing else; with none there it does nothing.
    for (const char *name : {"/update.exe", "/update.bin", "/update.txt"}) {
        FILE *file = fopen((folder + name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fclose(file);
    }
    UpdateDialog::removeStaleDownloads();
    UpdateDialog::removeStaleDownloads();
    EXPECT_NE(access((folder + "/update.exe").c_str(), F_OK), 0);
    EXPECT_NE(access((folder + "/update.bin").c_str(), F_OK), 0);
    EXPECT_EQ(access((folder + "/update.txt").c_str(), F_OK), 0);
    std::filesystem::remove_all(folder);
}

}  // namespace
