#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

namespace nerim {

// What the preview panel shows at the moment an agent is started.
struct PreviewSnapshot {
    std::optional<QUrl> url;
    QString title;
    bool isLoading = false;
    std::optional<QString> error;

    // A URL, a title, loading, or an error text that is not empty.
    bool hasContent() const
    {
        return url.has_value() || !title.isEmpty() || isLoading || (error && !error->isEmpty());
    }

    friend bool operator==(const PreviewSnapshot &, const PreviewSnapshot &) = default;
};

// The project's plan at the moment an agent is started.
struct PlanAwarenessSnapshot {
    struct Step {
        QString title;
        QString detail;
        QString status; // "done", "inProgress", anything else counts as pending

        friend bool operator==(const Step &, const Step &) = default;
    };

    QString goal;
    QList<Step> steps;

    friend bool operator==(const PlanAwarenessSnapshot &, const PlanAwarenessSnapshot &) = default;
};

// Plan documents handed to an agent (files inside the project's plans folder).
struct PlansWorkspaceSnapshot {
    struct File {
        QString filename; // e.g. "overview.md"
        QString contents;

        friend bool operator==(const File &, const File &) = default;
    };

    QList<File> files;

    friend bool operator==(const PlansWorkspaceSnapshot &, const PlansWorkspaceSnapshot &) = default;
};

// The moment's preview, plan and plan files that the canvas hands to `spawn`;
// each absent part leaves its prompt block out.
struct ProjectAwareness {
    std::optional<PreviewSnapshot> preview;
    std::optional<PlanAwarenessSnapshot> plan;
    std::optional<PlansWorkspaceSnapshot> workspace;

    friend bool operator==(const ProjectAwareness &, const ProjectAwareness &) = default;
};

} // namespace nerim
