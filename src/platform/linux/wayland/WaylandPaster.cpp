#include "platform/linux/wayland/WaylandPaster.h"

#include "common/Async.h"
#include "common/Log.h"
#include "common/UniqueResource.h"
#include "platform/linux/wayland/WaylandPasterImpl.h"
#include "selection/WriteBack.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace parlomatic::platform {

namespace {

// The kernel's key code of "v" (the virtual keyboard's own keymap is a US one).
constexpr uint32_t keyV = 47;

// The formats a text is offered in: what toolkits on Wayland and XWayland ask for.
constexpr std::array<const char*, 5> textFormats = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT",
                                                    "STRING"};

// `text` in each of those formats.
selection::ClipboardFormats asFormats(const QString& text)
{
    selection::ClipboardFormats formats;
    for (const char* format : textFormats) {
        formats.emplace_back(QString::fromLatin1(format), text.toUtf8());
    }
    return formats;
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

std::unique_ptr<WaylandPaster> WaylandPaster::connect(const std::string& displayName)
{
    if (displayName.empty()) {
        return nullptr;
    }
    // A reader that closes its end of our clipboard early must cost a failed write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<Impl> impl = Impl::open(displayName);
    if (!impl) {
        return nullptr;
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

WaylandPaster::WaylandPaster(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
WaylandPaster::~WaylandPaster() = default;

bool WaylandPaster::canSendKeys() const
{
    return d->keyboard != nullptr || d->fakeInput != nullptr;
}

bool WaylandPaster::pressKey(KeyModifier held, uint32_t key)
{
    return d->press(held, key);
}

void WaylandPaster::copyClipboard(QObject* context,
                                  std::function<void(std::optional<selection::ClipboardFormats>)> done)
{
    Impl& impl = *d;
    if (wl_display_roundtrip(impl.display) < 0 || impl.device == nullptr) {
        return done(std::nullopt);
    }
    if (impl.current != 0) {
        return done(impl.servedNow());
    }
    if (impl.selection == nullptr) {
        return done(selection::ClipboardFormats{});
    }
    // Each format is asked for here; the owner writes them into pipes that the thread pool reads, so
    // that an owner answering through this very thread (our X11 side, by way of XWayland) can answer.
    // Shared: the pool takes copyable jobs only.
    auto pipes = std::make_shared<std::vector<std::pair<QString, UniqueFd>>>();
    for (const QString& format : impl.offers[impl.selection]) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            break;
        }
        UniqueFd readEnd(fds[0]);
        const UniqueFd writeEnd(fds[1]);
        zwlr_data_control_offer_v1_receive(impl.selection, format.toUtf8().constData(), writeEnd.get());
        impl.flush();
        pipes->emplace_back(format, std::move(readEnd));
    }
    const bool complete = pipes->size() == std::size_t(impl.offers[impl.selection].size());
    runInBackground(
        context,
        [pipes, complete] {
            std::optional<selection::ClipboardFormats> formats = selection::ClipboardFormats{};
            qsizetype total = 0;
            for (auto& [format, fd] : *pipes) {
                const std::optional<QByteArray> bytes =
                    formats ? readAll(fd.get(), selection::WriteBack::clipboardOwnerWait,
                                      selection::WriteBack::maxKeptClipboardBytes - total)
                            : std::nullopt;
                fd.reset();
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

void WaylandPaster::hold(selection::ClipboardFormats formats)
{
    if (d->device != nullptr) {
        d->serve(std::move(formats));
    }
}

void WaylandPaster::offer(const QString& text)
{
    hold(asFormats(text));
}

namespace {

// A paste's hold on the compositor's clipboard: the user's content is served again on giveBack(),
// unless something else was copied since.
class WaylandLease final : public selection::PasteLease {
public:
    WaylandLease(WaylandPaster::Impl& impl, const Source& pasted)
        : d(impl), m_serial(pasted.serial), m_fetched(pasted.fetched), m_kept(pasted.kept)
    {}
    bool fetched() const override { return *m_fetched; }
    void giveBack() override
    {
        if (m_kept && d.current == m_serial) {
            d.serve(*m_kept);
        }
    }

private:
    WaylandPaster::Impl& d;
    unsigned long m_serial;
    std::shared_ptr<bool> m_fetched;
    std::optional<selection::ClipboardFormats> m_kept;
};

} // namespace

std::expected<std::unique_ptr<selection::PasteLease>, selection::PasteError>
WaylandPaster::paste(const QString& text, std::optional<selection::ClipboardFormats> userClipboard)
{
    Impl& impl = *d;
    if (impl.device == nullptr) {
        return std::unexpected(
            selection::PasteError{.kind = selection::PasteError::Kind::noClipboard,
                                  .message = "the compositor no longer lets Parlomatic reach the clipboard"});
    }
    // A paste of ours not given back yet keeps what that one keeps.
    const std::optional<selection::ClipboardFormats> kept =
        impl.current != 0 ? impl.servedNow() : std::move(userClipboard);
    Source* pasted = impl.serve(asFormats(text));
    pasted->kept = kept;
    auto lease = std::make_unique<WaylandLease>(impl, *pasted);
    if (!impl.press(KeyModifier::control, keyV)) {
        lease->giveBack();
        return std::unexpected(
            selection::PasteError{.kind = selection::PasteError::Kind::noKeys,
                                  .message = "the compositor does not let Parlomatic send the paste keys"});
    }
    return lease;
}

std::optional<selection::ClipboardFormats> WaylandPaster::served() const
{
    return d->servedNow();
}

} // namespace parlomatic::platform
