#include "platform/linux/wayland/WaylandPasterImpl.h"

#include "common/Async.h"
#include "common/Log.h"
#include "common/UniqueResource.h"

#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

namespace parlomatic::platform {

namespace {

// Key codes as the kernel numbers them; a virtual keyboard sends these, KWin maps them through
// the user's own layout.
constexpr uint32_t keyLeftControl = 29;
constexpr uint32_t keyLeftShift = 42;
// A reader of our clipboard that takes nothing for this long is given up.
constexpr int stalledReaderMs = 2000;

uint32_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

void onOfferFormat(void* data, zwlr_data_control_offer_v1* offer, const char* format)
{
    auto* impl = static_cast<WaylandPaster::Impl*>(data);
    impl->offers[offer].append(QString::fromUtf8(format));
}
const zwlr_data_control_offer_v1_listener offerListener{.offer = onOfferFormat};

void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* impl = static_cast<WaylandPaster::Impl*>(data);
    impl->offers[offer];
    zwlr_data_control_offer_v1_add_listener(offer, &offerListener, impl);
}
void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* impl = static_cast<WaylandPaster::Impl*>(data);
    // Earlier offers are of no more use.
    for (auto it = impl->offers.begin(); it != impl->offers.end();) {
        if (it->first == offer) {
            ++it;
        } else {
            zwlr_data_control_offer_v1_destroy(it->first);
            it = impl->offers.erase(it);
        }
    }
    impl->selection = offer;
}
void onFinished(void* data, zwlr_data_control_device_v1* device)
{
    auto* impl = static_cast<WaylandPaster::Impl*>(data);
    zwlr_data_control_device_v1_destroy(device);
    impl->device = nullptr;
}
const zwlr_data_control_device_v1_listener deviceListener{
    .data_offer = onDataOffer, .selection = onSelection, .finished = onFinished};

void onSend(void* data, zwlr_data_control_source_v1*, const char* format, int32_t fd)
{
    auto* source = static_cast<Source*>(data);
    QByteArray bytes;
    const QString wanted = QString::fromUtf8(format);
    for (const auto& [name, content] : source->formats) {
        if (name == wanted) {
            bytes = content;
        }
    }
    *source->fetched = true;
    // Written off the GUI thread, and given up when the reader takes nothing for a while: a reader
    // that stalls holds neither the GUI nor Parlomatic's quitting for long.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Shared: the pool takes copyable jobs only.
    runInBackground([pipe = std::make_shared<UniqueFd>(fd), bytes] {
        qsizetype written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(pipe->get(), bytes.constData() + written, size_t(bytes.size() - written));
            if (n > 0) {
                written += n;
                continue;
            }
            pollfd writable{.fd = pipe->get(), .events = POLLOUT, .revents = 0};
            if (n == 0 || (errno != EINTR && errno != EAGAIN) || ::poll(&writable, 1, stalledReaderMs) <= 0) {
                break;
            }
        }
    });
}
void onCancelled(void* data, zwlr_data_control_source_v1*)
{
    auto* source = static_cast<Source*>(data);
    source->owner->drop(source);
}
const zwlr_data_control_source_v1_listener sourceListener{.send = onSend, .cancelled = onCancelled};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    auto* impl = static_cast<WaylandPaster::Impl*>(data);
    const std::string_view which(interface);
    if (which == wl_seat_interface.name && impl->seat == nullptr) {
        impl->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (which == zwlr_data_control_manager_v1_interface.name) {
        impl->manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    } else if (which == zwp_virtual_keyboard_manager_v1_interface.name) {
        impl->keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    } else if (which == org_kde_kwin_fake_input_interface.name && version >= 4) {
        impl->fakeInput = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
    }
}
void onGlobalRemoved(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener{.global = onGlobal, .global_remove = onGlobalRemoved};

// A virtual keyboard with a US keymap of its own, so that key 47 is "v" whatever the user's layout.
zwp_virtual_keyboard_v1* makeKeyboard(WaylandPaster::Impl& impl)
{
    const UniqueCPtr<xkb_context, xkb_context_unref> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    const xkb_rule_names names{.rules = "evdev", .model = "pc105", .layout = "us", .variant = "", .options = ""};
    const UniqueCPtr<xkb_keymap, xkb_keymap_unref> keymap(
        context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr);
    if (!keymap) {
        return nullptr;
    }
    const UniqueCPtr<char, std::free> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1));
    if (!text) {
        return nullptr;
    }
    const UniqueFd fd(memfd_create("parlomatic-keymap", MFD_CLOEXEC));
    const size_t size = std::strlen(text.get()) + 1;
    if (!fd || ::write(fd.get(), text.get(), size) != ssize_t(size)) {
        return nullptr;
    }
    impl.controlMask = 1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_CTRL);
    impl.shiftMask = 1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
    zwp_virtual_keyboard_v1* keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(impl.keyboardManager, impl.seat);
    // The request holds a copy of the descriptor.
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd.get(), uint32_t(size));
    return keyboard;
}

} // namespace

std::unique_ptr<WaylandPaster::Impl> WaylandPaster::Impl::open(const std::string& display)
{
    auto impl = std::make_unique<Impl>();
    impl->display = wl_display_connect(display.c_str());
    if (impl->display == nullptr) {
        logError("Could not connect to the Wayland compositor; no paste into native Wayland windows");
        return nullptr;
    }
    impl->registry = wl_display_get_registry(impl->display);
    wl_registry_add_listener(impl->registry, &registryListener, impl.get());
    wl_display_roundtrip(impl->display);
    if (impl->seat == nullptr || impl->manager == nullptr) {
        return nullptr;
    }
    impl->device = zwlr_data_control_manager_v1_get_data_device(impl->manager, impl->seat);
    zwlr_data_control_device_v1_add_listener(impl->device, &deviceListener, impl.get());
    if (impl->keyboardManager != nullptr) {
        impl->keyboard = makeKeyboard(*impl);
    } else if (impl->fakeInput != nullptr) {
        org_kde_kwin_fake_input_authenticate(impl->fakeInput, "Parlomatic", "Pastes the text you asked for");
    }
    wl_display_roundtrip(impl->display);
    if (impl->keyboard == nullptr && impl->fakeInput == nullptr) {
        logError("The compositor lets Parlomatic reach the clipboard but not send the paste keys");
    }
    return impl;
}

WaylandPaster::Impl::~Impl()
{
    for (const auto& [offer, formats] : offers) {
        zwlr_data_control_offer_v1_destroy(offer);
    }
    for (const auto& source : sources) {
        zwlr_data_control_source_v1_destroy(source->source);
    }
    if (keyboard != nullptr) {
        zwp_virtual_keyboard_v1_destroy(keyboard);
    }
    if (fakeInput != nullptr) {
        org_kde_kwin_fake_input_destroy(fakeInput);
    }
    if (keyboardManager != nullptr) {
        zwp_virtual_keyboard_manager_v1_destroy(keyboardManager);
    }
    if (device != nullptr) {
        zwlr_data_control_device_v1_destroy(device);
    }
    if (manager != nullptr) {
        zwlr_data_control_manager_v1_destroy(manager);
    }
    if (seat != nullptr) {
        wl_seat_destroy(seat);
    }
    if (registry != nullptr) {
        wl_registry_destroy(registry);
    }
    if (display != nullptr) {
        wl_display_disconnect(display);
    }
}

bool WaylandPaster::Impl::press(KeyModifier held, uint32_t key)
{
    const uint32_t modifierKey = held == KeyModifier::control ? keyLeftControl : keyLeftShift;
    const uint32_t mask = held == KeyModifier::control ? controlMask : held == KeyModifier::shift ? shiftMask : 0;
    const bool holding = held != KeyModifier::none;
    if (keyboard != nullptr) {
        const uint32_t time = nowMs();
        if (holding) {
            zwp_virtual_keyboard_v1_key(keyboard, time, modifierKey, WL_KEYBOARD_KEY_STATE_PRESSED);
            zwp_virtual_keyboard_v1_modifiers(keyboard, mask, 0, 0, 0);
        }
        zwp_virtual_keyboard_v1_key(keyboard, time, key, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(keyboard, time, key, WL_KEYBOARD_KEY_STATE_RELEASED);
        if (holding) {
            zwp_virtual_keyboard_v1_key(keyboard, time, modifierKey, WL_KEYBOARD_KEY_STATE_RELEASED);
            zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 0);
        }
    } else if (fakeInput != nullptr) {
        if (holding) {
            org_kde_kwin_fake_input_keyboard_key(fakeInput, modifierKey, WL_KEYBOARD_KEY_STATE_PRESSED);
        }
        org_kde_kwin_fake_input_keyboard_key(fakeInput, key, WL_KEYBOARD_KEY_STATE_PRESSED);
        org_kde_kwin_fake_input_keyboard_key(fakeInput, key, WL_KEYBOARD_KEY_STATE_RELEASED);
        if (holding) {
            org_kde_kwin_fake_input_keyboard_key(fakeInput, modifierKey, WL_KEYBOARD_KEY_STATE_RELEASED);
        }
    } else {
        return false;
    }
    return wl_display_roundtrip(display) >= 0;
}

Source* WaylandPaster::Impl::serve(selection::ClipboardFormats formats)
{
    if (formats.empty()) {
        zwlr_data_control_device_v1_set_selection(device, nullptr);
        current = 0;
        flush();
        return nullptr;
    }
    auto source = std::make_unique<Source>();
    source->source = zwlr_data_control_manager_v1_create_data_source(manager);
    source->formats = std::move(formats);
    source->serial = nextSerial++;
    source->owner = this;
    zwlr_data_control_source_v1_add_listener(source->source, &sourceListener, source.get());
    for (const auto& [format, bytes] : source->formats) {
        zwlr_data_control_source_v1_offer(source->source, format.toUtf8().constData());
    }
    zwlr_data_control_device_v1_set_selection(device, source->source);
    current = source->serial;
    sources.push_back(std::move(source));
    flush();
    return sources.back().get();
}

void WaylandPaster::Impl::drop(Source* source)
{
    if (source->serial == current) {
        current = 0;
    }
    zwlr_data_control_source_v1_destroy(source->source);
    std::erase_if(sources, [source](const auto& s) { return s.get() == source; });
}

std::optional<selection::ClipboardFormats> WaylandPaster::Impl::servedNow() const
{
    for (const auto& source : sources) {
        if (current != 0 && source->serial == current) {
            return source->kept ? source->kept : source->formats;
        }
    }
    return std::nullopt;
}

} // namespace parlomatic::platform
