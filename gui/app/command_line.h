// The pieces of command-line handling: where the program and its
// translations are, the user's language list, the per-user data folder,
// the icon file of the desktop notifications, and the folders published to
// the engine side.
//
// VeltranaApp::on_command_line (command_line.cpp) runs them in order once
// per process, on the GTK main thread. They keep no state of their own;
// pk_publish_folders writes the base runtime's replacing value list, which
// has its own lock. Results are as stated at each function; none throws
// except on memory exhaustion.
#pragma once

#include <string>
#include <vector>

// The folder of the program: the first argument up to its last "/"; when
// it has none (started through PATH), the folder of the running executable
// ("." when that cannot be read); "." without any argument.
std::string pk_program_folder(const std::vector<std::string> &arguments);

// "APP_LOCALE" when set and not empty, else the program folder.
std::string pk_locale_base(const std::string &programFolder);

// The user's language list in the "de_DE:en_US" form, made from a locale
// name ("de_DE.UTF-8@euro" gives "de_DE"); empty for "C", "POSIX" or none.
std::string pk_language_list(const char *messagesLocale);

// The per-user data folder, the XDG config folder followed by "/veltrana",
// made (with the folders above it) when missing.
std::string pk_data_folder();

// Writes PNG resource 135 to "veltrana.png" in the data folder; its path,
// or empty when there is no picture or it could not be written.
std::string pk_write_notification_icon(const std::string &dataFolder);

// Publishes "fs.path" 0 and 10 (the program folder, 8-bit text), "fs.path"
// 9 (the data folder as UTF-16) and their "fs.path.encoding" entries (0,
// 2, 0). 0, or -1 when the value list is missing or an entry was refused.
int pk_publish_folders(const std::string &programFolder, const std::string &dataFolder);
