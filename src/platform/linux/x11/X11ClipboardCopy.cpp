#include "platform/linux/x11/X11ClipboardCopy.h"

#include "platform/linux/x11/X11Display.h"
#include "platform/linux/x11/X11ErrorTrap.h"

#include <X11/Xatom.h>

#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace parlomatic::platform {
namespace {

using Clock = std::chrono::steady_clock;

using XData = UniqueCPtr<unsigned char, XFree>;

// The mime type a target is kept under, or empty for targets that are not content (TARGETS,
// TIMESTAMP, ...) or repeat one that is (STRING, TEXT, COMPOUND_TEXT beside UTF8_STRING).
QString mimeTypeOf(const QString& target)
{
    if (target == QLatin1String("UTF8_STRING")) {
        return QStringLiteral("text/plain");
    }
    return target.contains(u'/') ? target : QString();
}

class Reader {
public:
    Reader(Display* display, std::chrono::milliseconds wait, qsizetype maxBytes)
        : m_display(display), m_wait(wait), m_left(maxBytes), m_clipboard(XInternAtom(display, "CLIPBOARD", False)),
          m_property(XInternAtom(display, "PARLOMATIC_CLIPBOARD_COPY", False)),
          m_incr(XInternAtom(display, "INCR", False))
    {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        m_window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, CopyFromParent, InputOnly,
                                 CopyFromParent, CWEventMask, &attributes);
    }
    ~Reader() { XDestroyWindow(m_display, m_window); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool owned() const { return XGetSelectionOwner(m_display, m_clipboard) != None; }

    // The targets the owner offers; nothing when it did not answer.
    std::optional<std::vector<Atom>> targets()
    {
        const auto bytes = convert(XInternAtom(m_display, "TARGETS", False));
        if (!bytes) {
            return std::nullopt;
        }
        std::vector<Atom> atoms;
        for (qsizetype at = 0; at + 4 <= bytes->size(); at += 4) {
            std::uint32_t atom = 0;
            std::memcpy(&atom, bytes->constData() + at, 4);
            atoms.push_back(atom);
        }
        return atoms;
    }

    // The owner's bytes for `target`: empty when it refused that one, nothing when it did not answer
    // in time or the copy grew past the limit.
    std::optional<QByteArray> convert(Atom target)
    {
        XConvertSelection(m_display, m_clipboard, target, m_property, m_window, CurrentTime);
        XEvent event{};
        if (!waitFor(SelectionNotify, event)) {
            return std::nullopt;
        }
        if (event.xselection.property == None) {
            return QByteArray();
        }
        Atom type = None;
        QByteArray bytes;
        if (!take(type, bytes)) {
            return std::nullopt;
        }
        if (type != m_incr) {
            return bytes;
        }
        // An INCR transfer: every chunk comes as a new value of the property, which we delete to ask
        // for the next; an empty one ends it.
        QByteArray whole;
        for (;;) {
            if (!waitFor(PropertyNotify, event)) {
                return std::nullopt;
            }
            if (event.xproperty.atom != m_property || event.xproperty.state != PropertyNewValue) {
                continue;
            }
            QByteArray chunk;
            if (!take(type, chunk)) {
                return std::nullopt;
            }
            // The notice of the INCR property itself, read and deleted already: no chunk.
            if (type == None) {
                continue;
            }
            if (chunk.isEmpty()) {
                return whole;
            }
            whole += chunk;
        }
    }

private:
    // Waits for the next event of `type` on our window, at most the owner's wait.
    bool waitFor(int type, XEvent& event)
    {
        const auto deadline = Clock::now() + m_wait;
        for (;;) {
            if (XCheckTypedWindowEvent(m_display, m_window, type, &event)) {
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd connection{.fd = ConnectionNumber(m_display), .events = POLLIN, .revents = 0};
            ::poll(&connection, 1, int(std::min<long long>(left.count(), 50)));
        }
    }

    // Reads and deletes the property, counting its size against the limit before fetching it.
    bool take(Atom& type, QByteArray& bytes)
    {
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* raw = nullptr;
        if (XGetWindowProperty(m_display, m_window, m_property, 0, 0, False, AnyPropertyType, &type, &format, &items,
                               &after, &raw) != Success) {
            return false;
        }
        XData(raw).reset();
        if (type != m_incr && qsizetype(after) > m_left) {
            XDeleteProperty(m_display, m_window, m_property);
            return false;
        }
        raw = nullptr;
        if (XGetWindowProperty(m_display, m_window, m_property, 0, long((after + 3) / 4), True, AnyPropertyType, &type,
                               &format, &items, &after, &raw) != Success) {
            return false;
        }
        const XData data(raw);
        if (type == m_incr) {
            return true;
        }
        // Xlib hands 32-bit items over as longs.
        if (format == 32) {
            for (unsigned long i = 0; i < items; ++i) {
                const auto item = std::uint32_t(reinterpret_cast<const unsigned long*>(data.get())[i]);
                bytes.append(reinterpret_cast<const char*>(&item), 4);
            }
        } else if (data) {
            bytes = QByteArray(reinterpret_cast<const char*>(data.get()), qsizetype(items) * (format / 8));
        }
        m_left -= bytes.size();
        return m_left >= 0;
    }

    Display* m_display;
    std::chrono::milliseconds m_wait;
    qsizetype m_left;
    Atom m_clipboard;
    Atom m_property;
    Atom m_incr;
    Window m_window = None;
};

} // namespace

std::optional<selection::ClipboardFormats> copyX11Clipboard(std::chrono::milliseconds ownerWait, qsizetype maxBytes)
{
    const X11Display display(XOpenDisplay(nullptr));
    if (!display) {
        return std::nullopt;
    }
    X11ErrorTrap trap(display.get());
    std::optional<selection::ClipboardFormats> formats;
    {
        Reader reader(display.get(), ownerWait, maxBytes);
        if (!reader.owned()) {
            formats = selection::ClipboardFormats{};
        } else if (const auto targets = reader.targets()) {
            formats = selection::ClipboardFormats{};
            for (const Atom target : *targets) {
                const XData name(reinterpret_cast<unsigned char*>(XGetAtomName(display.get(), target)));
                const QString mime =
                    name ? mimeTypeOf(QString::fromLatin1(reinterpret_cast<char*>(name.get()))) : QString();
                if (mime.isEmpty() || std::ranges::any_of(*formats, [&](const auto& f) { return f.first == mime; })) {
                    continue;
                }
                const auto bytes = reader.convert(target);
                if (!bytes) {
                    formats.reset();
                    break;
                }
                if (!bytes->isEmpty()) {
                    formats->emplace_back(mime, *bytes);
                }
            }
        }
    }
    // Text offered only as UTF8_STRING is offered under the name Wayland clients ask for, too.
    const auto named = [&](const char* mime) {
        return std::ranges::find(*formats, QString::fromLatin1(mime), &selection::ClipboardFormats::value_type::first);
    };
    if (formats && named("text/plain") != formats->end() && named("text/plain;charset=utf-8") == formats->end()) {
        formats->emplace_back(QStringLiteral("text/plain;charset=utf-8"), named("text/plain")->second);
    }
    // An owner that went away in the middle answers with errors: what was read is not the whole.
    return trap.sync() ? std::nullopt : formats;
}

} // namespace parlomatic::platform
