// The other windows the main window opens, raises and hides, and the
// desktop-notification handler it tells about viewers and broadcasts.
// Included by the main window's sources only.
#pragma once

#include "notifications/notifications.h"
#include "windows/dialogs/evaluate_dialog.h"
#include "windows/dialogs/settings_dialog.h"
#include "windows/info/about_window.h"
#include "windows/info/eula_window.h"
#include "windows/info/instruction_window.h"
#include "windows/info/message_dialog.h"
#include "windows/info/update_dialog.h"
#include "windows/main/broadcast_dialog.h"
#include "windows/main/broadcast_overview.h"
#include "windows/main/channel_dialog.h"
#include "windows/viewer/incoming_windows.h"
#include "windows/viewer/playback_window.h"
