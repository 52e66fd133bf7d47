#pragma once

#include <QString>

namespace nerim {

// What the window shows: nothing but the background while the application
// state loads, the projects overview, or one project's canvas.
class AppShellRoute {
public:
    enum class Kind { loading, projectsOverview, projectCanvas };

    AppShellRoute() = default; // loading

    static AppShellRoute loading() { return {}; }
    static AppShellRoute projectsOverview() { return AppShellRoute(Kind::projectsOverview, {}, {}, {}); }
    static AppShellRoute projectCanvas(QString projectId, QString path, QString displayName)
    {
        return AppShellRoute(Kind::projectCanvas, std::move(projectId), std::move(path), std::move(displayName));
    }

    Kind kind() const { return m_kind; }
    // projectCanvas only; empty otherwise.
    const QString &projectId() const { return m_projectId; }
    const QString &path() const { return m_path; }
    const QString &displayName() const { return m_displayName; }

    friend bool operator==(const AppShellRoute &, const AppShellRoute &) = default;

private:
    AppShellRoute(Kind kind, QString projectId, QString path, QString displayName)
        : m_kind(kind), m_projectId(std::move(projectId)), m_path(std::move(path)),
          m_displayName(std::move(displayName))
    {
    }

    Kind m_kind = Kind::loading;
    QString m_projectId;
    QString m_path;
    QString m_displayName;
};

} // namespace nerim
