// Keeping the display awake while a stream is shown or sent, and the text
// forms of the engine's 32-byte ids.
//
// PkDisplay is a process-wide singleton. keepAwake() asks the desktop to keep
// the display and the system on: through the running GtkApplication when
// there is one, else through org.freedesktop.ScreenSaver on the session bus.
// allowSleep() releases that request. The request is a state, not a count:
// any number of keepAwake() calls are released by one allowSleep(). The
// windows call both on the GTK main thread; the state has its own lock, so
// another thread is safe too. A bus call waits at most
// PK_DISPLAY_DBUS_TIMEOUT_MS. Neither operation throws; when the desktop
// offers neither way, keepAwake() logs once per attempt and the display
// simply keeps its own idle policy.
//
// PkXID is the interface side's copy of a CoreName key. pk_id_to_printable
// and pk_bytes_to_hex keep no state and may be called from any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/names.h"

#define PK_XID_SIZE 32
#define PK_DISPLAY_DBUS_TIMEOUT_MS 2000

struct _GDBusConnection;
struct _GtkApplication;

// A 32-byte id: node ids, user ids, device ids, codec keys, channel names.
// All zero means "no id". Two ids are equal when all 32 bytes are.
struct PkXID {
    uint8_t key[PK_XID_SIZE] = {};

    PkXID() = default;
    explicit PkXID(const uint8_t (&bytes)[PK_XID_SIZE]) { memcpy(key, bytes, sizeof(key)); }
    explicit PkXID(const CoreName &name) { memcpy(key, name.key, sizeof(key)); }

    // The text cut to 32 bytes, the rest zero: the key a text name has.
    static PkXID fromText(std::string_view text);

    bool isNull() const;
    bool operator==(const PkXID &other) const { return memcmp(key, other.key, sizeof(key)) == 0; }
    bool operator!=(const PkXID &other) const { return !(*this == other); }
};

static_assert(sizeof(PkXID) == PK_XID_SIZE, "PkXID is exactly the 32 key bytes");

// Up to 32 characters: bytes 32 to 126 as they are, bytes 1 to 31 and 127 to
// 255 as '?', ended by the first zero byte. The printable copy a CoreName
// keeps, so an id made from printable text gives that text back.
std::string pk_id_to_printable(const uint8_t (&id)[PK_XID_SIZE]);
std::string pk_id_to_printable(const PkXID &id);

// 64 upper-case hexadecimal digits, two per byte in byte order: the form ids
// are stored in settings files and codec keys are compared in.
std::string pk_bytes_to_hex(const uint8_t (&id)[PK_XID_SIZE]);
std::string pk_bytes_to_hex(const PkXID &id);

class PkDisplay : public std::enable_shared_from_this<PkDisplay> {
public:
    static std::shared_ptr<PkDisplay> instance();

    PkDisplay(const PkDisplay &) = delete;
    PkDisplay &operator=(const PkDisplay &) = delete;
    ~PkDisplay();

    // Idempotent: while a request is held, further calls do nothing.
    void keepAwake();
    // Releases the held request, if any.
    void allowSleep();
    // True while a request is held by the desktop.
    bool isKeepingAwake() const;

private:
    PkDisplay() = default;

    bool inhibitThroughApplication();
    bool inhibitThroughScreenSaver();
    void releaseLocked();

    mutable std::mutex stateMutex;  // guards every field below
    // The application that holds our request, referenced until it is
    // released, and the cookie gtk_application_inhibit gave.
    _GtkApplication *application = nullptr;
    unsigned applicationCookie = 0;
    // Our own bus connection, open only while the screen saver holds our
    // request: the service also drops a request when its sender goes away,
    // so closing the connection can never leave the display pinned.
    _GDBusConnection *screenSaverConnection = nullptr;
    uint32_t screenSaverCookie = 0;
};
