#include "launcher/LaunchPlan.h"

#include <initializer_list>

namespace nerim {

QString plainProjectType(const LaunchPlan &plan)
{
    const QString &c = plan.shellCommand;
    auto startsWithAny = [&c](std::initializer_list<const char *> prefixes) {
        for (const char *prefix : prefixes) {
            if (c.startsWith(QLatin1String(prefix)))
                return true;
        }
        return false;
    };
    if (c.contains(QLatin1String("npm install")) && c.contains(QLatin1String("&&")))
        return QStringLiteral("npm project (installs dependencies, then runs the dev server)");
    if (startsWithAny({"npm ", "pnpm ", "yarn "}))
        return QStringLiteral("Node/npm project (%1)").arg(c);
    if (c.startsWith(QLatin1String("python3 -m http.server")))
        return QStringLiteral("static HTML site served by Python");
    if (startsWithAny({"python3 ", "streamlit ", "uvicorn "}) || c.contains(QLatin1String("flask run")))
        return QStringLiteral("Python project (%1)").arg(c);
    if (c.startsWith(QLatin1String("cargo ")))
        return QStringLiteral("Rust/Cargo project (%1)").arg(c);
    if (c.startsWith(QLatin1String("go ")))
        return QStringLiteral("Go project (%1)").arg(c);
    return QStringLiteral("project that starts with `%1`").arg(c);
}

} // namespace nerim
