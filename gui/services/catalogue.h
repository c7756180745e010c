// The device catalogue: the interface side's snapshot of the capture devices
// the engine knows, for the device choice boxes and the screen choice.
//
// A PkDeviceCatalog is empty when made and holds what its last refresh()
// read until it is refreshed again, cleared or destroyed; it does not
// follow device changes by itself (the windows refresh it when the engine
// reports a change of the environment). refresh() asks the engine through
// the media requests and two format requests of its own, all on
// ENGINE_CONTROL_SERVICE and only while an engine node runs. It returns 0
// when both lists were read completely, -1 when a device name came back
// empty (the device went away meanwhile; the lists then hold the devices
// read before it). A format or mode that cannot be read is left all zero
// and the device is still listed.
//
// Not thread-safe: each catalogue belongs to one window and is used on the
// GTK main thread. audioDevices() and videoDevices() return copies, so a
// caller may keep them across a later refresh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "services/buffer.h"
#include "services/display.h"
#include "services/utils.h"

struct PkAudioDevice {
    std::string name;  // as the engine gives it
    PkXID id;          // NONE_ID when unknown
    PkAudioFormat format = {};  // all zero when unknown
};

struct PkVideoDevice {
    std::string name;
    PkXID id;
    PkVideoMode captureMode = {};  // all zero when unknown
    std::vector<PkVideoMode> modes;  // in the device's order
};

class PkDeviceCatalog {
public:
    // Both counts first, then both lists from scratch.
    int32_t refresh();

    std::vector<PkAudioDevice> audioDevices() const { return audioDeviceList; }
    std::vector<PkVideoDevice> videoDevices() const { return videoDeviceList; }

    // Empties and frees both lists, the video list first.
    void clear();

private:
    std::vector<PkAudioDevice> audioDeviceList;  // registry order
    std::vector<PkVideoDevice> videoDeviceList;  // registry order
};
