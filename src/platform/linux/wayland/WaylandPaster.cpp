#include "platform/linux/wayland/WaylandPaster.h"

#include "common/Async.h"
#include "common/Log.h"
#include "platform/linux/wayland/gnome/MutterKeyPaster.h"
#include "selection/WriteBack.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QThreadPool>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

namespace parlomatic::platform {

namespace {

// Key codes as the kernel numbers them; a virtual keyboard sends these, KWin maps them through
// the user's own layout.
constexpr uint32_t keyLeftControl = 29;
constexpr uint32_t keyLeftShift = 42;
constexpr uint32_t keyV = 47;
// A reader of our clipboard that takes nothing for this long is given up.
constexpr int stalledReaderMs = 2000;

// The formats a text is offered in: what toolkits on Wayland and XWayland ask for.
constexpr std::array<const char*, 5> textFormats = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT",
                                                    "STRING"};

// `text` in each of those formats.
ClipboardFormats asFormats(const QString& text)
{
    ClipboardFormats formats;
    for (const char* format : textFormats) {
        formats.emplace_back(QString::fromLatin1(format), text.toUtf8());
    }
    return formats;
}

uint32_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

// Reads `fd` to its end within `limit`; nothing when the writer is slower or writes more than `max`.
std::optional<QByteArray> readAll(int fd, std::chrono::milliseconds limit, qsizetype max)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        if (left.count() <= 0 || ::poll(&readable, 1, int(left.count())) <= 0) {
            return std::nullopt;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return bytes;
        }
        if (got < 0 && errno != EINTR && errno != EAGAIN) {
            return std::nullopt;
        }
        if (got > 0) {
            bytes.append(buffer, got);
            if (bytes.size() > max) {
                return std::nullopt;
            }
        }
    }
}

} // namespace

// One clipboard content served by us.
struct Source {
    zwlr_data_control_source_v1* source = nullptr;
    ClipboardFormats formats;
    unsigned long serial = 0;
    // Set at the first format asked for.
    std::shared_ptr<bool> fetched = std::make_shared<bool>(false);
    WaylandPaster::Impl* owner = nullptr;
    // A paste's: what the clipboard held before it, until that is put back.
    std::optional<ClipboardFormats> kept;
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

    ~Impl();
    bool press(KeyModifier held, uint32_t key);
    Source* serve(ClipboardFormats formats);
    // What we serve as the clipboard now (a paste's: what it keeps), or nothing.
    std::optional<ClipboardFormats> servedNow() const;
    void drop(Source* source);
    void flush() const { wl_display_flush(display); }
};

namespace {

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
    QThreadPool::globalInstance()->start([fd, bytes] {
        qsizetype written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
            if (n > 0) {
                written += n;
                continue;
            }
            pollfd writable{.fd = fd, .events = POLLOUT, .revents = 0};
            if (n == 0 || (errno != EINTR && errno != EAGAIN) || ::poll(&writable, 1, stalledReaderMs) <= 0) {
                break;
            }
        }
        ::close(fd);
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
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                       &xkb_context_unref);
    const xkb_rule_names names{.rules = "evdev", .model = "pc105", .layout = "us", .variant = "", .options = ""};
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr,
        &xkb_keymap_unref);
    if (!keymap) {
        return nullptr;
    }
    const std::unique_ptr<char, decltype(&std::free)> text(
        xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1), &std::free);
    const int fd = memfd_create("parlomatic-keymap", MFD_CLOEXEC);
    const size_t size = std::strlen(text.get()) + 1;
    if (fd < 0 || ::write(fd, text.get(), size) != ssize_t(size)) {
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    impl.controlMask = 1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_CTRL);
    impl.shiftMask = 1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
    zwp_virtual_keyboard_v1* keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(impl.keyboardManager, impl.seat);
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, uint32_t(size));
    ::close(fd); // the request holds a copy
    return keyboard;
}

} // namespace

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

Source* WaylandPaster::Impl::serve(ClipboardFormats formats)
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

std::unique_ptr<WaylandPaster> WaylandPaster::connect()
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return nullptr;
    }
    // A reader that closes its end of our clipboard early must cost a failed write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    auto impl = std::make_unique<Impl>();
    impl->display = wl_display_connect(nullptr);
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
    // Events between our own calls: a clipboard that changes, an application that asks for our text.
    Impl* raw = impl.get();
    impl->notifier = std::make_unique<QSocketNotifier>(wl_display_get_fd(raw->display), QSocketNotifier::Read);
    QObject::connect(raw->notifier.get(), &QSocketNotifier::activated, &raw->context, [raw] {
        // Never a blocking read: a call of ours in between may have read what woke us.
        wl_display* display = raw->display;
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        wl_display_flush(display);
        pollfd readable{.fd = wl_display_get_fd(display), .events = POLLIN, .revents = 0};
        const bool lost = ::poll(&readable, 1, 0) > 0 ? wl_display_read_events(display) < 0
                                                      : (wl_display_cancel_read(display), false);
        if (lost || wl_display_dispatch_pending(display) < 0) {
            logError("The connection to the Wayland compositor was lost; no more paste into native windows");
            raw->notifier->setEnabled(false);
        }
    });
    return std::unique_ptr<WaylandPaster>(new WaylandPaster(std::move(impl)));
}

WaylandPaster::WaylandPaster(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
WaylandPaster::~WaylandPaster() = default;

bool WaylandPaster::canSendKeys() const
{
    return m_impl->keyboard != nullptr || m_impl->fakeInput != nullptr;
}

bool WaylandPaster::pressKey(KeyModifier held, uint32_t key)
{
    return m_impl->press(held, key);
}

std::optional<ClipboardFormats> WaylandPaster::Impl::servedNow() const
{
    for (const auto& source : sources) {
        if (current != 0 && source->serial == current) {
            return source->kept ? source->kept : source->formats;
        }
    }
    return std::nullopt;
}

void WaylandPaster::copyClipboard(QObject* context, std::function<void(std::optional<ClipboardFormats>)> done)
{
    Impl& impl = *m_impl;
    if (wl_display_roundtrip(impl.display) < 0 || impl.device == nullptr) {
        return done(std::nullopt);
    }
    if (impl.current != 0) {
        return done(impl.servedNow());
    }
    if (impl.selection == nullptr) {
        return done(ClipboardFormats{});
    }
    // Each format is asked for here; the owner writes them into pipes that the thread pool reads, so
    // that an owner answering through this very thread (our X11 side, by way of XWayland) can answer.
    std::vector<std::pair<QString, int>> pipes;
    for (const QString& format : impl.offers[impl.selection]) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            break;
        }
        zwlr_data_control_offer_v1_receive(impl.selection, format.toUtf8().constData(), fds[1]);
        impl.flush();
        ::close(fds[1]);
        pipes.emplace_back(format, fds[0]);
    }
    const bool complete = pipes.size() == std::size_t(impl.offers[impl.selection].size());
    runInBackground(
        context,
        [pipes, complete] {
            std::optional<ClipboardFormats> formats = ClipboardFormats{};
            qsizetype total = 0;
            for (const auto& [format, fd] : pipes) {
                const std::optional<QByteArray> bytes =
                    formats ? readAll(fd, WriteBack::clipboardOwnerWait, WriteBack::maxKeptClipboardBytes - total)
                            : std::nullopt;
                ::close(fd);
                if (!bytes) {
                    formats.reset();
                    continue;
                }
                total += bytes->size();
                formats->emplace_back(format, *bytes);
            }
            return complete ? formats : std::nullopt;
        },
        std::move(done));
}

void WaylandPaster::hold(ClipboardFormats formats)
{
    if (m_impl->device != nullptr) {
        m_impl->serve(std::move(formats));
    }
}

void WaylandPaster::offer(const QString& text)
{
    hold(asFormats(text));
}

namespace {

// A paste's hold on the compositor's clipboard: the user's content is served again on giveBack(),
// unless something else was copied since.
class WaylandLease final : public PasteLease {
public:
    WaylandLease(WaylandPaster::Impl& impl, const Source& pasted)
        : m_impl(impl), m_serial(pasted.serial), m_fetched(pasted.fetched), m_kept(pasted.kept)
    {}
    bool fetched() const override { return *m_fetched; }
    void giveBack() override
    {
        if (m_kept && m_impl.current == m_serial) {
            m_impl.serve(*m_kept);
        }
    }

private:
    WaylandPaster::Impl& m_impl;
    unsigned long m_serial;
    std::shared_ptr<bool> m_fetched;
    std::optional<ClipboardFormats> m_kept;
};

} // namespace

std::expected<std::unique_ptr<PasteLease>, PasteError>
WaylandPaster::paste(const QString& text, std::optional<ClipboardFormats> userClipboard)
{
    Impl& impl = *m_impl;
    if (impl.device == nullptr) {
        return std::unexpected(PasteError{.kind = PasteError::Kind::noClipboard,
                                          .message = "the compositor no longer lets Parlomatic reach the clipboard"});
    }
    // A paste of ours not given back yet keeps what that one keeps.
    const std::optional<ClipboardFormats> kept = impl.current != 0 ? impl.servedNow() : std::move(userClipboard);
    Source* pasted = impl.serve(asFormats(text));
    pasted->kept = kept;
    auto lease = std::make_unique<WaylandLease>(impl, *pasted);
    if (!impl.press(KeyModifier::control, keyV)) {
        lease->giveBack();
        return std::unexpected(PasteError{.kind = PasteError::Kind::noKeys,
                                          .message = "the compositor does not let Parlomatic send the paste keys"});
    }
    return lease;
}

std::optional<ClipboardFormats> WaylandPaster::served() const
{
    return m_impl->servedNow();
}

std::unique_ptr<WindowPaster> windowPasterForSession()
{
    if (auto paster = WaylandPaster::connect()) {
        return paster;
    }
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && MutterKeyPaster::available()) {
        return std::make_unique<KeyWindowPaster>(std::make_unique<MutterKeyPaster>());
    }
    return nullptr;
}

} // namespace parlomatic::platform
