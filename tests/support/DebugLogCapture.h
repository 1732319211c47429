#pragma once

#include <QLoggingCategory>
#include <QString>

#include <gtest/gtest.h>

#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::test {

// Turns every parlomatic.* debug channel on and captures what the Qt logging categories print while
// it exists (one at a time per process), so that a test can check those lines as a user's
// QT_LOGGING_RULES would show them.
class DebugLogCapture {
public:
    DebugLogCapture()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&DebugLogCapture::record);
        QLoggingCategory::setFilterRules(QStringLiteral("parlomatic.*.debug=true"));
    }
    ~DebugLogCapture()
    {
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }

    DebugLogCapture(const DebugLogCapture&) = delete;
    DebugLogCapture& operator=(const DebugLogCapture&) = delete;

    // Lines as "category: message".
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

    // Fails the running test for each captured line that contains one of `secrets` (empty ones are skipped).
    void expectNoLineContains(std::initializer_list<std::string_view> secrets) const
    {
        for (const std::string& line : lines()) {
            for (const std::string_view secret : secrets) {
                EXPECT_FALSE(!secret.empty() && line.find(secret) != std::string::npos) << line;
            }
        }
    }

private:
    static DebugLogCapture*& current()
    {
        static DebugLogCapture* capture = nullptr;
        return capture;
    }
    static void record(QtMsgType, const QMessageLogContext& context, const QString& message)
    {
        if (DebugLogCapture* capture = current()) {
            std::lock_guard lock(capture->m_mutex);
            capture->m_lines.push_back(std::string(context.category != nullptr ? context.category : "") + ": " +
                                       message.toStdString());
        }
    }

    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

} // namespace parlomatic::test
