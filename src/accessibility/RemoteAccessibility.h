#pragma once

#include "selection/AccessibilityBackend.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace parlomatic::platform {

// The accessibility layer in a helper process of its own (parlomatic-accessibility): libatspi, its
// window lookups and whatever crashes or hangs in them stay out of the application. Every call is
// one request and one answer over the helper's standard input and output
// (AccessibilityProtocol.h). A helper that ends, answers what is not ours or does not answer
// within answerWithin (a libatspi call stuck past its own time-out) is ended by its PID: from then
// on every read gives nothing and isConnected() is false, so that the layer's thread makes a new
// one (AccessibilityThread). Used from the thread that made it; elements may be dropped anywhere.
class RemoteAccessibility final : public selection::AccessibilityBackend {
public:
    static constexpr std::chrono::milliseconds answerWithin{2000};
    // Past this resident size the helper is started anew (it holds about 10 MB when well).
    static constexpr long long maxHelperBytes = 256LL * 1024 * 1024;

    // When helpers are started: one that ended at once is started again after a pause that grows
    // up to half a minute, and a helper that keeps crashing is told once (`tell`, from the layer's
    // thread). One per application, shared by the layers it makes.
    class Launcher {
    public:
        explicit Launcher(QString program, std::function<void(const QString&)> tell = {});
        ~Launcher();
        Launcher(const Launcher&) = delete;
        Launcher& operator=(const Launcher&) = delete;

        // A layer with a helper of its own, or one that is not connected while the pause lasts.
        std::unique_ptr<RemoteAccessibility> make();
        // The helper program beside this one, or, installed, in the libexec folder.
        static QString installedProgram();

    private:
        friend class RemoteAccessibility;
        struct State;
        std::shared_ptr<State> m_state;
    };

    ~RemoteAccessibility() override;
    RemoteAccessibility(const RemoteAccessibility&) = delete;
    RemoteAccessibility& operator=(const RemoteAccessibility&) = delete;

    // The helper's process, or 0 when there is none.
    long long helperPid() const;

    std::optional<selection::Pid> frontmostWindowOwnerPid() override;
    selection::Element applicationElement(selection::Pid pid) override;
    selection::Element focusedElement(const selection::Element& application) override;
    std::optional<QString> bundleIdentifier(selection::Pid pid) override;
    std::optional<QString> selectedText(const selection::Element& element) override;
    std::optional<int> selectionLength(const selection::Element& element) override;
    bool replaceSelection(const selection::Element& element, const QString& text) override;
    std::optional<TextMark> textMark(const selection::Element& element) override;
    std::optional<QString> textBetween(const selection::Element& element, int start, int end) override;
    std::optional<selection::AxRect> selectionBoundsFromTextMarkers(const selection::Element& element) override;
    std::optional<selection::AxRect> selectionBoundsFromRange(const selection::Element& element) override;
    std::optional<selection::AxRect> elementFrame(const selection::Element& element) override;
    std::optional<selection::AxRect> windowFrame(const selection::Element& element) override;
    std::optional<QString> elementRole(const selection::Element& element) override;
    selection::SelectionReading readFocused(selection::Pid pid) override;
    void readAncestorAttributes(const selection::Element& element) override;
    void enableEnhancedUserInterface(const selection::Element& application) override;
    void enableEnhancedUserInterfaceForRunningApps() override;
    bool isConnected() override;
    bool isResponding(selection::Pid pid) override;
    void setChangeListener(std::function<void()> changed) override;
    bool watchSelections(const selection::SelectionWatch& watch,
                         std::function<void(selection::SelectionReading, std::int64_t)> changed) override;

    class Channel;

private:
    explicit RemoteAccessibility(std::shared_ptr<Channel> channel);
    // The answer's value, or nothing when the helper could not give one (it is then ended).
    std::optional<QJsonValue> ask(const char* call, QJsonObject arguments = {});
    std::optional<QJsonValue> askAbout(const char* call, const selection::Element& element, QJsonObject arguments = {});
    selection::Element elementFrom(const std::optional<QJsonValue>& answer);
    // Reads what the helper sends between answers while anyone listens.
    void listen();

    std::shared_ptr<Channel> m_channel;
    struct Notifier;
    std::unique_ptr<Notifier> m_notifier;
    // While the helper steps on its own it is asked, now and then, whether it still answers.
    bool m_watching = false;
    std::chrono::steady_clock::time_point m_lastPing;
};

} // namespace parlomatic::platform
