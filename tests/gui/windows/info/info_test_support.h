// What the information-window suites stand on: GTK on the private Xvfb, a
// registered application holding the windows, the embedded text pages, and
// program pictures made by the test (the bundle of the build may lack some),
// each of a size the suite picks so that a window's choice can be told.
#pragma once

#include <gdkmm/pixbuf.h>
#include <gtest/gtest.h>
#include <gtkmm/image.h>
#include <gtkmm/textbuffer.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/resources.h"
#include "core/system.h"
#include "gui/toolkit/gtk_env.h"
#include "gui/toolkit/window_fixtures.h"
#include "toolkit/window.h"

namespace infotest {

// Sizes of the pictures the loader hands out, by program picture id; ids
// not listed have no picture.
inline std::map<uint32_t, std::pair<int, int>> &picture_sizes()
{
    static std::map<uint32_t, std::pair<int, int>> sizes;
    return sizes;
}

inline std::vector<uint8_t> make_png(int width, int height, uint32_t rgb)
{
    return pi_test_png(width, height, (rgb << 8) | 0xFF);
}

inline void use_test_pictures(std::map<uint32_t, std::pair<int, int>> sizes)
{
    picture_sizes() = std::move(sizes);
    PiWindowIcon::setPngLoader([](uint32_t id) -> std::vector<uint8_t> {
        const auto found = picture_sizes().find(id);
        if (found == picture_sizes().end()) return {};
        return make_png(found->second.first, found->second.second, id * 0x010203u);
    });
}

// A fresh scratch folder published as the per-user data folder, with the
// base runtime (whose value list carries the folder) started once for the
// program; empty when either fails.
inline std::string scratch_data_folder()
{
    static const bool started = core_system_start(0) == CORE_OK;
    if (!started) return std::string();
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrana-info-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return std::string();
    if (pk_publish_folders(pattern, pattern) != 0) return std::string();
    return pattern;
}

// GTK, an application and the text pages for each test.
class InfoGtk : public PiWindowTest {
protected:
    void SetUp() override
    {
        PiWindowTest::SetUp();
        if (IsSkipped()) return;
        html_register_resource();
    }
};

// The whole text of a buffer, pictures and anchors left out.
inline std::string buffer_text(const Glib::RefPtr<Gtk::TextBuffer> &buffer)
{
    return buffer->get_text(buffer->begin(), buffer->end(), false);
}

// The pictures of a buffer in order, as width x height.
inline std::vector<std::pair<int, int>> buffer_pictures(const Glib::RefPtr<Gtk::TextBuffer> &buffer)
{
    std::vector<std::pair<int, int>> pictures;
    for (Gtk::TextIter it = buffer->begin(); it != buffer->end(); ++it) {
        Glib::RefPtr<Gdk::Pixbuf> pixbuf = it.get_pixbuf();
        if (pixbuf) pictures.emplace_back(pixbuf->get_width(), pixbuf->get_height());
    }
    return pictures;
}

}  // namespace infotest
