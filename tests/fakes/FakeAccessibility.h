#pragma once

#include "selection/AccessibilityBackend.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace parlomatic::selection {

// An element of the fake desktop: every answer is set by the test.
class FakeElement final : public AccessibleElement {
public:
    explicit FakeElement(Pid pid) : m_pid(pid) {}
    std::optional<Pid> processId() const override { return gone ? std::nullopt : std::optional(m_pid); }

    std::optional<QString> selectedText;
    std::optional<AxRect> markerBounds;
    std::optional<AxRect> rangeBounds;
    std::optional<AxRect> frame;
    std::optional<QString> role;
    // What selectionLength() answers (nothing: it cannot tell).
    std::optional<int> length;
    // Whether replaceSelection() writes the element, and what it wrote.
    bool editable = false;
    std::optional<QString> written;
    int textReads = 0;
    // The element's whole text and where its selection lies (nothing: its text cannot be read).
    QString text;
    std::optional<AccessibilityBackend::TextMark> mark;
    int markReads = 0;
    bool gone = false;

private:
    Pid m_pid;
};

// A scripted accessibility layer: one front process, an application element per process, and a
// focused element per application. Counts the reads the tests look at.
class FakeAccessibility final : public AccessibilityBackend {
public:
    // Makes (or returns) the application of `pid` with a focused text element and returns that element.
    std::shared_ptr<FakeElement> addApplication(Pid pid, std::optional<QString> bundleId = std::nullopt)
    {
        App& app = m_apps[pid];
        app.element = std::make_shared<FakeElement>(pid);
        app.focused = std::make_shared<FakeElement>(pid);
        app.bundleId = std::move(bundleId);
        return app.focused;
    }
    void setFocused(Pid pid, std::shared_ptr<FakeElement> element) { m_apps[pid].focused = std::move(element); }
    void setFront(std::optional<Pid> pid) { m_front = pid; }

    std::optional<Pid> frontmostWindowOwnerPid() override
    {
        if (beforeFrontRead) {
            beforeFrontRead();
        }
        return m_front;
    }
    Element applicationElement(Pid pid) override
    {
        const auto it = m_apps.find(pid);
        return it == m_apps.end() ? Element{} : Element(it->second.element);
    }
    Element focusedElement(const Element& application) override
    {
        for (const auto& [pid, app] : m_apps) {
            if (app.element == application) {
                return app.focused;
            }
        }
        return {};
    }
    std::optional<QString> bundleIdentifier(Pid pid) override
    {
        const auto it = m_apps.find(pid);
        return it == m_apps.end() ? std::nullopt : it->second.bundleId;
    }
    std::optional<QString> selectedText(const Element& element) override
    {
        ++fake(element).textReads;
        return fake(element).selectedText;
    }
    std::optional<int> selectionLength(const Element& element) override { return fake(element).length; }
    std::optional<TextMark> textMark(const Element& element) override
    {
        ++fake(element).markReads;
        return fake(element).mark;
    }
    std::optional<QString> textBetween(const Element& element, int start, int end) override
    {
        return fake(element).text.mid(start, end - start);
    }
    bool isResponding(Pid pid) override { return !silent.contains(pid); }
    bool replaceSelection(const Element& element, const QString& text) override
    {
        FakeElement& target = fake(element);
        if (target.editable) {
            target.written = text;
        }
        return target.editable;
    }
    std::optional<AxRect> selectionBoundsFromTextMarkers(const Element& element) override
    {
        return fake(element).markerBounds;
    }
    std::optional<AxRect> selectionBoundsFromRange(const Element& element) override
    {
        return fake(element).rangeBounds;
    }
    std::optional<AxRect> elementFrame(const Element& element) override
    {
        ++elementFrameReads;
        return fake(element).frame;
    }
    std::optional<QString> elementRole(const Element& element) override { return fake(element).role; }
    std::optional<AxRect> windowFrame(const Element&) override { return window; }
    void readAncestorAttributes(const Element&) override { ++ancestorReads; }
    void enableEnhancedUserInterface(const Element&) override {}
    void enableEnhancedUserInterfaceForRunningApps() override { ++enhancedPasses; }
    void setChangeListener(std::function<void()> changed) override { announce = std::move(changed); }

    // Calls what the poller installed, as a platform announcement would.
    std::function<void()> announce;
    // Runs at the start of every step's first read (a test makes the application slow there).
    std::function<void()> beforeFrontRead;
    // The frame of every element's window.
    std::optional<AxRect> window;
    // Processes that ran into the accessibility time-out.
    std::set<Pid> silent;

    int enhancedPasses = 0;
    int ancestorReads = 0;
    int elementFrameReads = 0;

private:
    struct App {
        std::shared_ptr<FakeElement> element;
        std::shared_ptr<FakeElement> focused;
        std::optional<QString> bundleId;
    };
    static FakeElement& fake(const Element& element) { return static_cast<FakeElement&>(*element); }

    std::optional<Pid> m_front;
    std::map<Pid, App> m_apps;
};

} // namespace parlomatic::selection
