#pragma once

#include "accessibility/RemoteAccessibility.h"
#include "common/UniqueResource.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/types.h>

namespace parlomatic::platform {

// The application's connection to one helper process: one request and its answer at a time
// (any thread), the helper's announcements in between, and its end by PID when it fails.
class RemoteAccessibility::Channel {
public:
    Channel(UniqueFd socket, pid_t pid, std::shared_ptr<Launcher::State> launcher)
        : m_socket(std::move(socket)), m_pid(pid), m_launcher(std::move(launcher)),
          m_started(std::chrono::steady_clock::now())
    {}
    ~Channel() { end(nullptr, false); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    pid_t pid() const { return m_pid; }
    bool alive();
    void setListener(std::function<void()> changed);
    // Takes the helper's readings (the whole event), on the thread that reads them.
    void setReadingListener(std::function<void(const QJsonObject&)> reading);
    int socket() const { return m_socket.get(); }

    std::optional<QJsonValue> call(QJsonObject request);

    // Between calls: announcements, or the helper's end. Left to the call in progress, if any.
    void drainEvents();

    // The one element here for a number the helper handed out, made by `make` when none is held.
    template <typename Make> selection::Element element(std::int64_t number, Make make)
    {
        const std::scoped_lock held(m_dropLock);
        std::erase(m_dropped, number);
        auto& known = m_elements[number];
        selection::Element element = known.lock();
        if (!element) {
            element = make();
            known = element;
        }
        return element;
    }
    // The last reference to an element went: the helper lets go of it with the next request.
    void drop(std::int64_t number);

private:
    // An event from the helper: an announcement or a reading.
    void dispatch(const QJsonObject& event) const;

    // False, with the helper ended, when it ended or took nothing for answerWithin.
    bool sendAll(const QByteArray& bytes);

    // The next whole line, waiting for it until `deadline` (without one, only what is waiting);
    // nothing when none came, and then the helper is ended if it ended, overran a line or let the
    // deadline pass.
    std::optional<QByteArray> nextLine(std::optional<std::chrono::steady_clock::time_point> deadline);

    void checkMemory();

    // Ends the helper by its PID when it is `faulty` (else it ends by itself without its input, or
    // has ended) and tells the launcher how it went.
    void end(const char* why, bool faulty);

    std::mutex m_lock;
    UniqueFd m_socket;
    pid_t m_pid;
    std::shared_ptr<Launcher::State> m_launcher;
    std::chrono::steady_clock::time_point m_started;
    QByteArray m_buffer;
    std::function<void()> m_changed;
    std::function<void(const QJsonObject&)> m_reading;
    long long m_calls = 0;
    std::mutex m_dropLock;
    std::map<std::int64_t, std::weak_ptr<selection::AccessibleElement>> m_elements;
    std::vector<std::int64_t> m_dropped;
};

} // namespace parlomatic::platform
