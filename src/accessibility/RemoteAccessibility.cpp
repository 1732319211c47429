#include "accessibility/RemoteAccessibility.h"

#include "accessibility/AccessibilityProtocol.h"
#include "common/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX declares it nowhere else

namespace parlomatic::platform {

namespace protocol = accessibilityProtocol;
using Clock = std::chrono::steady_clock;

namespace {

// A helper that ends sooner than this after its start ended "at once".
constexpr auto quickEnd = std::chrono::seconds(5);
constexpr auto firstPause = std::chrono::milliseconds(500);
constexpr auto longestPause = std::chrono::seconds(30);
// Crashes in a row after which the user is told.
constexpr int crashesTold = 3;
// The resident size is read every so many calls (a file read, about 20 µs).
constexpr int memoryCheckEvery = 50;

long long residentBytes(pid_t pid)
{
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long long pages = 0;
    long long resident = 0;
    statm >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

} // namespace

struct RemoteAccessibility::Launcher::State {
    QString program;
    std::function<void(const QString&)> tell;
    std::mutex lock;
    int quickEnds = 0;
    int crashes = 0;
    Clock::time_point notBefore;
    bool told = false;

    // What the end of a helper that lived `lifetime` means for the next start.
    void ended(Clock::duration lifetime, bool crashed, bool noBus)
    {
        const std::scoped_lock held(lock);
        crashes = crashed ? crashes + 1 : 0;
        if (lifetime >= quickEnd) {
            quickEnds = 0;
            return;
        }
        ++quickEnds;
        // Without a bus the helper is tried again every second, as a layer in the process was.
        const auto pause =
            noBus ? std::chrono::milliseconds(1000)
                  : std::min<Clock::duration>(firstPause * (1 << std::min(quickEnds - 1, 6)), longestPause);
        notBefore = Clock::now() + pause;
        if (crashes >= crashesTold && !told && tell) {
            told = true;
            tell(QStringLiteral("Parlomatic's accessibility helper keeps stopping, so selections are not seen for "
                                "now; it is tried again in a while. Restarting Parlomatic may help."));
        }
    }
};

class RemoteAccessibility::Channel {
public:
    Channel(int socket, pid_t pid, std::shared_ptr<Launcher::State> launcher)
        : m_socket(socket), m_pid(pid), m_launcher(std::move(launcher)), m_started(Clock::now())
    {}
    ~Channel() { end(nullptr, false); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    pid_t pid() const { return m_pid; }
    bool alive()
    {
        const std::scoped_lock held(m_lock);
        return m_socket >= 0;
    }
    void setListener(std::function<void()> changed)
    {
        const std::scoped_lock held(m_lock);
        m_changed = std::move(changed);
    }
    int socket() const { return m_socket; }

    std::optional<QJsonValue> call(QJsonObject request)
    {
        const std::scoped_lock held(m_lock);
        if (m_socket < 0) {
            return std::nullopt;
        }
        {
            const std::scoped_lock dropping(m_dropLock);
            if (!m_dropped.empty()) {
                QJsonArray numbers;
                for (const std::int64_t number : m_dropped) {
                    numbers.append(qint64(number));
                }
                request[QLatin1String("drop")] = numbers;
                m_dropped.clear();
            }
        }
        if (!sendAll(protocol::line(request))) {
            return std::nullopt;
        }
        const Clock::time_point deadline = Clock::now() + answerWithin;
        for (;;) {
            const std::optional<QByteArray> line = nextLine(deadline);
            if (!line) {
                return std::nullopt;
            }
            const std::optional<QJsonObject> message = protocol::parse(*line);
            if (message && (*message)[QLatin1String("event")].isString()) {
                announce();
                continue;
            }
            if (!message || !message->contains(QLatin1String("v"))) {
                end(message && message->contains(QLatin1String("error"))
                        ? "The accessibility helper refused a request of ours; it is started anew."
                        : "The accessibility helper answered what it should not; it is started anew.",
                    true);
                return std::nullopt;
            }
            checkMemory();
            return (*message)[QLatin1String("v")];
        }
    }

    // Between calls: announcements, or the helper's end. Left to the call in progress, if any.
    void drainEvents()
    {
        const std::unique_lock held(m_lock, std::try_to_lock);
        if (!held.owns_lock() || m_socket < 0) {
            return;
        }
        while (const std::optional<QByteArray> line = nextLine(std::nullopt)) {
            const std::optional<QJsonObject> message = protocol::parse(*line);
            if (!message || !(*message)[QLatin1String("event")].isString()) {
                end("The accessibility helper sent what it should not; it is started anew.", true);
                return;
            }
            announce();
        }
    }

    // The one element here for a number the helper handed out, made by `make` when none is held.
    template <typename Make> Element element(std::int64_t number, Make make)
    {
        const std::scoped_lock held(m_dropLock);
        std::erase(m_dropped, number);
        auto& known = m_elements[number];
        Element element = known.lock();
        if (!element) {
            element = make();
            known = element;
        }
        return element;
    }
    // The last reference to an element went: the helper lets go of it with the next request.
    void drop(std::int64_t number)
    {
        const std::scoped_lock held(m_dropLock);
        const auto known = m_elements.find(number);
        if (known != m_elements.end() && known->second.expired()) {
            m_elements.erase(known);
            m_dropped.push_back(number);
        }
    }

private:
    void announce() const
    {
        if (m_changed) {
            m_changed();
        }
    }

    // False, with the helper ended, when it ended or took nothing for answerWithin.
    bool sendAll(const QByteArray& bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            pollfd ready{.fd = m_socket, .events = POLLOUT, .revents = 0};
            if (::poll(&ready, 1, int(answerWithin.count())) == 0) {
                end("The accessibility helper stopped taking requests; it is ended and started anew.", true);
                return false;
            }
            const ssize_t wrote =
                ::send(m_socket, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
                end(nullptr, false);
                return false;
            }
            sent += std::max<ssize_t>(wrote, 0);
        }
        return true;
    }

    // The next whole line, waiting for it until `deadline` (without one, only what is waiting);
    // nothing when none came, and then the helper is ended if it ended, overran a line or let the
    // deadline pass.
    std::optional<QByteArray> nextLine(std::optional<Clock::time_point> deadline)
    {
        for (;;) {
            if (const qsizetype newline = m_buffer.indexOf('\n'); newline >= 0) {
                QByteArray line = m_buffer.left(newline);
                m_buffer.remove(0, newline + 1);
                return line;
            }
            if (m_buffer.size() > protocol::maxLineBytes) {
                end("The accessibility helper sent an answer past every bound; it is started anew.", true);
                return std::nullopt;
            }
            int wait = 0;
            if (deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
                if (left.count() <= 0) {
                    end("The accessibility helper did not answer within 2 s; it is ended and started anew.", true);
                    return std::nullopt;
                }
                wait = int(left.count());
            }
            pollfd ready{.fd = m_socket, .events = POLLIN, .revents = 0};
            const int polled = ::poll(&ready, 1, wait);
            if (polled == 0 && !deadline) {
                return std::nullopt;
            }
            if (polled <= 0) {
                continue;
            }
            char chunk[65536];
            // Under the call's lock by design: one request and its answer at a time; never blocks.
            const ssize_t got = ::recv( // NOLINT(clang-analyzer-unix.BlockInCriticalSection)
                m_socket, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got > 0) {
                m_buffer.append(chunk, got);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                end(nullptr, false);
                return std::nullopt;
            }
        }
    }

    void checkMemory()
    {
        if (++m_calls % memoryCheckEvery == 0 && residentBytes(m_pid) > maxHelperBytes) {
            end("The accessibility helper grew past its memory bound; it is started anew.", true);
        }
    }

    // Ends the helper by its PID when it is `faulty` (else it ends by itself without its input, or
    // has ended) and tells the launcher how it went.
    void end(const char* why, bool faulty)
    {
        if (m_socket < 0) {
            return;
        }
        if (faulty) {
            logError(why);
            ::kill(m_pid, SIGKILL);
        }
        ::close(m_socket);
        m_socket = -1;
        int status = 0;
        pid_t reaped = 0;
        for (int tries = 0; tries < 50 && (reaped = ::waitpid(m_pid, &status, WNOHANG)) == 0; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (reaped == 0) {
            ::kill(m_pid, SIGKILL);
            reaped = ::waitpid(m_pid, &status, 0);
        }
        const bool exited = reaped == m_pid && WIFEXITED(status);
        const bool noBus = exited && WEXITSTATUS(status) == protocol::noBusExit;
        const bool crashed =
            faulty || (reaped == m_pid && WIFSIGNALED(status)) || (exited && WEXITSTATUS(status) != 0 && !noBus);
        if (crashed && !faulty) {
            logError("The accessibility helper crashed; it is started anew.");
        }
        m_launcher->ended(Clock::now() - m_started, crashed, noBus);
    }

    std::mutex m_lock;
    int m_socket;
    pid_t m_pid;
    std::shared_ptr<Launcher::State> m_launcher;
    Clock::time_point m_started;
    QByteArray m_buffer;
    std::function<void()> m_changed;
    long long m_calls = 0;
    std::mutex m_dropLock;
    std::map<std::int64_t, std::weak_ptr<AccessibleElement>> m_elements;
    std::vector<std::int64_t> m_dropped;
};

namespace {

// An element of the helper's, by the number it handed out; dropped there when the last reference
// here goes.
class RemoteElement final : public AccessibleElement {
public:
    RemoteElement(std::int64_t number, const std::shared_ptr<RemoteAccessibility::Channel>& channel)
        : m_number(number), m_channel(channel)
    {}
    ~RemoteElement() override
    {
        if (const auto channel = m_channel.lock()) {
            channel->drop(m_number);
        }
    }
    RemoteElement(const RemoteElement&) = delete;
    RemoteElement& operator=(const RemoteElement&) = delete;

    // Read when first asked, on the thread that asks (the layer's).
    std::optional<Pid> processId() const override
    {
        const auto channel = m_channel.lock();
        if (!m_pid && channel) {
            const std::optional<QJsonValue> pid = channel->call(
                {{QStringLiteral("call"), QStringLiteral("pid")}, {QStringLiteral("el"), qint64(m_number)}});
            m_pid = pid ? protocol::numberFrom(*pid) : std::nullopt;
        }
        return m_pid;
    }
    bool isSameElement(const AccessibleElement& other) const override
    {
        const auto* remote = dynamic_cast<const RemoteElement*>(&other);
        return remote != nullptr && remote->m_number == m_number && !remote->m_channel.owner_before(m_channel) &&
               !m_channel.owner_before(remote->m_channel);
    }
    std::int64_t number() const { return m_number; }

private:
    std::int64_t m_number;
    std::weak_ptr<RemoteAccessibility::Channel> m_channel;
    mutable std::optional<Pid> m_pid;
};

} // namespace

// Announcements that come while no call is in progress.
struct RemoteAccessibility::Watch {
    QSocketNotifier notifier;
    explicit Watch(int socket) : notifier(socket, QSocketNotifier::Read) {}
};

RemoteAccessibility::RemoteAccessibility(std::shared_ptr<Channel> channel) : m_channel(std::move(channel)) {}

RemoteAccessibility::~RemoteAccessibility()
{
    m_watch.reset();
}

long long RemoteAccessibility::helperPid() const
{
    return m_channel && m_channel->alive() ? m_channel->pid() : 0;
}

std::optional<QJsonValue> RemoteAccessibility::ask(const char* call, QJsonObject arguments)
{
    if (!m_channel) {
        return std::nullopt;
    }
    arguments[QLatin1String("call")] = QLatin1String(call);
    return m_channel->call(std::move(arguments));
}

std::optional<QJsonValue> RemoteAccessibility::askAbout(const char* call, const Element& element, QJsonObject arguments)
{
    const auto* remote = dynamic_cast<const RemoteElement*>(element.get());
    if (remote == nullptr) {
        return std::nullopt;
    }
    arguments[QLatin1String("el")] = qint64(remote->number());
    return ask(call, std::move(arguments));
}

Element RemoteAccessibility::elementFrom(const std::optional<QJsonValue>& answer)
{
    const double number = answer ? answer->toDouble() : 0;
    if (number < 1 || number != std::trunc(number)) {
        return nullptr;
    }
    return m_channel->element(std::int64_t(number),
                              [&] { return std::make_shared<RemoteElement>(std::int64_t(number), m_channel); });
}

std::optional<Pid> RemoteAccessibility::frontmostWindowOwnerPid()
{
    const std::optional<QJsonValue> pid = ask("front");
    return pid ? protocol::numberFrom(*pid) : std::nullopt;
}

Element RemoteAccessibility::applicationElement(Pid pid)
{
    return elementFrom(ask("application", {{QStringLiteral("pid"), pid}}));
}

Element RemoteAccessibility::focusedElement(const Element& application)
{
    return elementFrom(askAbout("focused", application));
}

std::optional<QString> RemoteAccessibility::bundleIdentifier(Pid pid)
{
    const std::optional<QJsonValue> identifier = ask("identifier", {{QStringLiteral("pid"), pid}});
    return identifier ? protocol::textFrom(*identifier) : std::nullopt;
}

std::optional<QString> RemoteAccessibility::selectedText(const Element& element)
{
    const std::optional<QJsonValue> text = askAbout("selectedText", element);
    return text ? protocol::textFrom(*text) : std::nullopt;
}

std::optional<int> RemoteAccessibility::selectionLength(const Element& element)
{
    const std::optional<QJsonValue> length = askAbout("selectionLength", element);
    return length ? protocol::numberFrom(*length) : std::nullopt;
}

bool RemoteAccessibility::replaceSelection(const Element& element, const QString& text)
{
    const std::optional<QJsonValue> written = askAbout("replaceSelection", element, {{QStringLiteral("text"), text}});
    return written && written->toBool();
}

std::optional<AccessibilityBackend::TextMark> RemoteAccessibility::textMark(const Element& element)
{
    const std::optional<QJsonValue> mark = askAbout("textMark", element);
    return mark ? protocol::markFrom(*mark) : std::nullopt;
}

std::optional<QString> RemoteAccessibility::textBetween(const Element& element, int start, int end)
{
    const std::optional<QJsonValue> text =
        askAbout("textBetween", element, {{QStringLiteral("a"), start}, {QStringLiteral("b"), end}});
    return text ? protocol::textFrom(*text) : std::nullopt;
}

std::optional<AxRect> RemoteAccessibility::selectionBoundsFromTextMarkers(const Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("boundsFromMarkers", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<AxRect> RemoteAccessibility::selectionBoundsFromRange(const Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("boundsFromRange", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<AxRect> RemoteAccessibility::elementFrame(const Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("elementFrame", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<AxRect> RemoteAccessibility::windowFrame(const Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("windowFrame", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<QString> RemoteAccessibility::elementRole(const Element& element)
{
    const std::optional<QJsonValue> role = askAbout("role", element);
    return role ? protocol::textFrom(*role) : std::nullopt;
}

void RemoteAccessibility::readAncestorAttributes(const Element& element)
{
    askAbout("readAncestors", element);
}

void RemoteAccessibility::enableEnhancedUserInterface(const Element& application)
{
    askAbout("enhance", application);
}

void RemoteAccessibility::enableEnhancedUserInterfaceForRunningApps()
{
    ask("enhanceAll");
}

bool RemoteAccessibility::isConnected()
{
    return m_channel && m_channel->alive();
}

bool RemoteAccessibility::isResponding(Pid pid)
{
    const std::optional<QJsonValue> responding = ask("responding", {{QStringLiteral("pid"), pid}});
    return !responding || !responding->isBool() || responding->toBool();
}

void RemoteAccessibility::setChangeListener(std::function<void()> changed)
{
    if (!m_channel) {
        return;
    }
    const bool listening = bool(changed);
    m_channel->setListener(std::move(changed));
    m_watch.reset();
    if (listening && m_channel->alive()) {
        m_watch = std::make_unique<Watch>(m_channel->socket());
        Channel* channel = m_channel.get();
        QSocketNotifier* notifier = &m_watch->notifier;
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [channel, notifier] {
            channel->drainEvents();
            notifier->setEnabled(channel->alive());
        });
    }
}

RemoteAccessibility::Launcher::Launcher(QString program, std::function<void(const QString&)> tell)
    : m_state(std::make_shared<State>())
{
    m_state->program = std::move(program);
    m_state->tell = std::move(tell);
}

RemoteAccessibility::Launcher::~Launcher() = default;

QString RemoteAccessibility::Launcher::installedProgram()
{
    const QString here = QCoreApplication::applicationDirPath();
    QString beside = here + QStringLiteral("/parlomatic-accessibility");
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
    return QDir::cleanPath(here + QStringLiteral("/../libexec/parlomatic/parlomatic-accessibility"));
}

std::unique_ptr<RemoteAccessibility> RemoteAccessibility::Launcher::make()
{
    {
        const std::scoped_lock held(m_state->lock);
        if (Clock::now() < m_state->notBefore) {
            return std::unique_ptr<RemoteAccessibility>(new RemoteAccessibility(nullptr));
        }
    }
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        logError("The accessibility helper could not be started: no socket pair.");
        m_state->ended({}, true, false);
        return std::unique_ptr<RemoteAccessibility>(new RemoteAccessibility(nullptr));
    }
    const QByteArray program = QFile::encodeName(m_state->program);
    const QByteArray owner = QByteArray::number(qint64(::getpid()));
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--application-pid"),
                    const_cast<char*>(owner.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (failed != 0) {
        ::close(ends[0]);
        logError("The accessibility helper could not be started (" + std::string(std::strerror(failed)) + ").");
        m_state->ended({}, true, false);
        return std::unique_ptr<RemoteAccessibility>(new RemoteAccessibility(nullptr));
    }
    return std::unique_ptr<RemoteAccessibility>(
        new RemoteAccessibility(std::make_shared<Channel>(ends[0], pid, m_state)));
}

} // namespace parlomatic::platform
