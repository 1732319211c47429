#pragma once

// The Wayland connection behind WaylandPaster and what it serves as the clipboard, shared by the
// files that make it up (WaylandPaster.cpp, WaylandPasterImpl.cpp). Private to them.

#include "platform/linux/wayland/WaylandPaster.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QObject>
#include <QSocketNotifier>
#include <QStringList>

#include <wayland-client.h>

#include <map>
#include <string>

namespace parlomatic::platform {

// One clipboard content served by us.
struct Source {
    zwlr_data_control_source_v1* source = nullptr;
    selection::ClipboardFormats formats;
    unsigned long serial = 0;
    // Set at the first format asked for.
    std::shared_ptr<bool> fetched = std::make_shared<bool>(false);
    WaylandPaster::Impl* owner = nullptr;
    // A paste's: what the clipboard held before it, until that is put back.
    std::optional<selection::ClipboardFormats> kept;
};

struct WaylandPaster::Impl {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    uint32_t controlMask = 0;
    uint32_t shiftMask = 0;
    org_kde_kwin_fake_input* fakeInput = nullptr;

    // The offers announced with their formats, and the one that is the clipboard now.
    std::map<zwlr_data_control_offer_v1*, QStringList> offers;
    zwlr_data_control_offer_v1* selection = nullptr;
    // What we serve; `current` is the serial of the one holding the clipboard (0: none of ours).
    std::vector<std::unique_ptr<Source>> sources;
    unsigned long current = 0;
    unsigned long nextSerial = 1;

    std::unique_ptr<QSocketNotifier> notifier;
    QObject context;

    // A connection to the compositor named `display` with the clipboard device bound and the
    // paste keys set up where it offers them; nothing when it does not open the clipboard to us.
    static std::unique_ptr<Impl> open(const std::string& display);
    ~Impl();
    bool press(KeyModifier held, uint32_t key);
    Source* serve(selection::ClipboardFormats formats);
    // What we serve as the clipboard now (a paste's: what it keeps), or nothing.
    std::optional<selection::ClipboardFormats> servedNow() const;
    void drop(Source* source);
    void flush() const { wl_display_flush(display); }
};

} // namespace parlomatic::platform
