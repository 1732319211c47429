#pragma once

#include "selection/AccessibilityBackend.h"

#include <QObject>

#include <functional>

namespace parlomatic::selection {

// Where the accessibility layer's calls run. The GUI thread hands it jobs; a job runs with the
// layer on the layer's own thread and returns what is to happen next on the GUI thread (or
// nothing). GUI thread only.
class AccessibilityRunner {
public:
    using Then = std::function<void()>;
    using Job = std::function<Then(AccessibilityBackend&)>;

    virtual ~AccessibilityRunner() = default;

    // Runs `job`, then what it returned on the GUI thread unless `context` is gone by then. Jobs run
    // in the order they were given; a job that waits on a slow application delays the later ones,
    // never the GUI thread.
    virtual void run(QObject* context, Job job) = 0;
    // `changed` runs on the GUI thread whenever the layer announces a change (see
    // AccessibilityBackend::setChangeListener); an empty function stops the announcements.
    virtual void setChangeListener(std::function<void()> changed) = 0;
    // True when the layer runs the poll steps itself (AccessibilityBackend::watchSelections).
    virtual bool watches() const { return false; }
    // Where watches(): has the layer step as `watch` says; `changed` runs on the GUI thread with each
    // reading that differs from the one before, and the generation of the watch it was read for (also
    // after the layer was made anew). An empty `watch.every` stops the steps.
    virtual void watch(const SelectionWatch& watch,
                       std::function<void(SelectionReading, std::int64_t)>
                           changed) // NOLINT(performance-unnecessary-value-param): overrides keep it
    {
        static_cast<void>(watch);
        static_cast<void>(changed);
    }

protected:
    AccessibilityRunner() = default;
    AccessibilityRunner(const AccessibilityRunner&) = default;
    AccessibilityRunner& operator=(const AccessibilityRunner&) = default;
};

// Runs every job at once on the calling thread: for a layer that lives on the GUI thread (the
// inspector, tests), where a job's continuation has run when run() returns.
class InlineAccessibility final : public AccessibilityRunner {
public:
    explicit InlineAccessibility(AccessibilityBackend& backend) : m_backend(backend) {}

    void run(QObject*, Job job) override
    {
        if (const Then then = job(m_backend)) {
            then();
        }
    }
    void setChangeListener(std::function<void()> changed) override { m_backend.setChangeListener(std::move(changed)); }

private:
    AccessibilityBackend& m_backend;
};

} // namespace parlomatic::selection
