#include "accessibility/HelperChannel.h"

#include "accessibility/AccessibilityProtocol.h"
#include "common/Log.h"
#include "selection/LogCategories.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

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
        qCDebug(accessibilityLog) << "The helper ended after"
                                  << std::chrono::duration_cast<std::chrono::milliseconds>(lifetime).count() << "ms"
                                  << (noBus     ? "(no accessibility bus)"
                                      : crashed ? "(crashed)"
                                                : "")
                                  << "; no selection is read for the next"
                                  << std::chrono::duration_cast<std::chrono::milliseconds>(pause).count() << "ms";
        if (crashes >= crashesTold && !told && tell) {
            told = true;
            tell(QStringLiteral("Parlomatic's accessibility helper keeps stopping, so selections are not seen for "
                                "now; it is tried again in a while. Restarting Parlomatic may help."));
        }
    }
};

bool RemoteAccessibility::Channel::alive()
{
    const std::scoped_lock held(m_lock);
    return m_socket.valid();
}

void RemoteAccessibility::Channel::setListener(std::function<void()> changed)
{
    const std::scoped_lock held(m_lock);
    m_changed = std::move(changed);
}

void RemoteAccessibility::Channel::setReadingListener(std::function<void(const QJsonObject&)> reading)
{
    const std::scoped_lock held(m_lock);
    m_reading = std::move(reading);
}

std::optional<QJsonValue> RemoteAccessibility::Channel::call(QJsonObject request)
{
    const std::scoped_lock held(m_lock);
    if (!m_socket) {
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
            dispatch(*message);
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
        // Events that came in the same read as the answer wake no one: they are told now.
        while (m_buffer.contains('\n')) {
            const std::optional<QByteArray> event = nextLine(std::nullopt);
            const std::optional<QJsonObject> told = event ? protocol::parse(*event) : std::nullopt;
            if (told && (*told)[QLatin1String("event")].isString()) {
                dispatch(*told);
            }
        }
        return (*message)[QLatin1String("v")];
    }
}

void RemoteAccessibility::Channel::drainEvents()
{
    const std::unique_lock held(m_lock, std::try_to_lock);
    if (!held.owns_lock() || !m_socket) {
        return;
    }
    while (const std::optional<QByteArray> line = nextLine(std::nullopt)) {
        const std::optional<QJsonObject> message = protocol::parse(*line);
        if (!message || !(*message)[QLatin1String("event")].isString()) {
            end("The accessibility helper sent what it should not; it is started anew.", true);
            return;
        }
        dispatch(*message);
    }
}

void RemoteAccessibility::Channel::drop(std::int64_t number)
{
    const std::scoped_lock held(m_dropLock);
    const auto known = m_elements.find(number);
    if (known != m_elements.end() && known->second.expired()) {
        m_elements.erase(known);
        m_dropped.push_back(number);
    }
}

void RemoteAccessibility::Channel::dispatch(const QJsonObject& event) const
{
    if (event[QLatin1String("event")].toString() == QLatin1String(protocol::readingEvent)) {
        if (m_reading) {
            m_reading(event);
        }
    } else if (m_changed) {
        m_changed();
    }
}

bool RemoteAccessibility::Channel::sendAll(const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        pollfd ready{.fd = m_socket.get(), .events = POLLOUT, .revents = 0};
        if (::poll(&ready, 1, int(answerWithin.count())) == 0) {
            end("The accessibility helper stopped taking requests; it is ended and started anew.", true);
            return false;
        }
        const ssize_t wrote =
            ::send(m_socket.get(), bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
            end(nullptr, false);
            return false;
        }
        sent += std::max<ssize_t>(wrote, 0);
    }
    return true;
}

std::optional<QByteArray> RemoteAccessibility::Channel::nextLine(std::optional<Clock::time_point> deadline)
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
        pollfd ready{.fd = m_socket.get(), .events = POLLIN, .revents = 0};
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
            m_socket.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            m_buffer.append(chunk, got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            end(nullptr, false);
            return std::nullopt;
        }
    }
}

void RemoteAccessibility::Channel::checkMemory()
{
    if (++m_calls % memoryCheckEvery == 0 && residentBytes(m_pid) > maxHelperBytes) {
        end("The accessibility helper grew past its memory bound; it is started anew.", true);
    }
}

void RemoteAccessibility::Channel::end(const char* why, bool faulty)
{
    if (!m_socket) {
        return;
    }
    if (faulty) {
        logError(why);
        ::kill(m_pid, SIGKILL);
    }
    m_socket.reset();
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
            qCDebug(accessibilityLog) << "The helper ended moments ago and is not started yet: nothing is read";
            return std::unique_ptr<RemoteAccessibility>(new RemoteAccessibility(nullptr));
        }
    }
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        logError("The accessibility helper could not be started: no socket pair.");
        m_state->ended({}, true, false);
        return std::unique_ptr<RemoteAccessibility>(new RemoteAccessibility(nullptr));
    }
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    const QByteArray program = QFile::encodeName(m_state->program);
    const QByteArray owner = QByteArray::number(qint64(::getpid()));
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--application-pid"),
                    const_cast<char*>(owner.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDOUT_FILENO);
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    theirs.reset(); // the helper's alone: its end is seen as the socket's end
    if (failed != 0) {
        logError("The accessibility helper could not be started (" + std::string(std::strerror(failed)) + ").");
        m_state->ended({}, true, false);
        return std::unique_ptr<RemoteAccessibility>(new RemoteAccessibility(nullptr));
    }
    qCDebug(accessibilityLog) << "Started the accessibility helper, pid" << pid;
    return std::unique_ptr<RemoteAccessibility>(
        new RemoteAccessibility(std::make_shared<Channel>(std::move(ours), pid, m_state)));
}

} // namespace parlomatic::platform
