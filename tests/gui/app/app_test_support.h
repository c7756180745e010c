// What the settings suites stand on: the base runtime with its value lists
// and settings stream, a scratch data folder published as the application's
// per-user folder, and small file helpers. HOME and XDG_CONFIG_HOME point
// into the scratch folder too, so nothing a suite runs can reach the real
// user's files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/settings_records.h"
#include "core/system.h"
#include "core/values.h"
#include "services/facade.h"

namespace apptest {

inline std::filesystem::path &scratch_root()
{
    static std::filesystem::path root;
    return root;
}

// Runtime up, settings stream started, scratch root made, for the whole
// program.
class Runtime : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        scratch_root() = pattern;
        setenv("HOME", pattern.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (scratch_root() / "config").c_str(), 1);
        ASSERT_EQ(core_system_start(0), CORE_OK);
        ASSERT_EQ(core_settings_stream_start(), CORE_OK);
    }
    void TearDown() override
    {
        core_settings_stream_stop();
        core_system_stop();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_root(), ignored);
    }
};

// Publishes `folder` as the data folder the way the command-line handler
// does: "fs.path.encoding" 9 = 2 and "fs.path" 9 = the folder in UTF-16.
inline void publish_data_folder(const std::string &folder)
{
    ASSERT_EQ(pk_store_set_int("fs.path.encoding", 9, 2), 0);
    const std::u16string wide = pk_utf8_to_wide(folder);
    ASSERT_EQ(core_valuelist_put(core_process_valuelist(CORE_VALUELIST_REPLACE), "fs.path", 9, 1, wide.data(),
                                 wide.size() * sizeof(char16_t)),
              0);
}

// A fresh folder below the scratch root per test, published as the data
// folder.
class DataFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char &c : name)
            if (c == '/') c = '_';
        folder = scratch_root() / name;
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        publish_data_folder(folder.string());
    }

    std::string file(const std::string &name) const { return (folder / name).string(); }

    std::filesystem::path folder;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// xmllint --noout on the file: 0 when it is well-formed XML.
inline int xmllint(const std::string &path)
{
    const std::string command = "xmllint --noout '" + path + "' 2>/dev/null";
    return system(command.c_str());
}

inline bool have_xmllint()
{
    return system("command -v xmllint >/dev/null 2>&1") == 0;
}

// The file is well-formed XML as xmllint sees it (skipped without xmllint).
inline void expect_xmllint_accepts(const std::string &path)
{
    if (have_xmllint()) {
        EXPECT_EQ(xmllint(path), 0) << path;
    }
}

}  // namespace apptest
