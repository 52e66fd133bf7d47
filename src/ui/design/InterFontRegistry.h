#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace nerim {

// Makes the Inter font (Debian's fonts-inter) available to Qt once per process
// and remembers whether it worked. Font::nm asks `shared()` on every call, so
// the first font made registers Inter if the application has not yet done so.
// The decision is a pure function of its Environment, which tests replace.
class InterFontRegistry {
public:
    struct RegisterResult {
        bool ok = false;
        QString errorDescription; // empty when the failure has no description
    };

    struct Environment {
        // The font files to register; empty when fonts-inter is not installed.
        std::function<QStringList()> findFontFiles;
        std::function<RegisterResult(const QString &path)> registerFontFile;
        // Every font family known to Qt, in its order.
        std::function<QStringList()> familyNames;
        std::function<void(const QString &line)> log;
    };

    // Runs the registration steps with `environment`; see registerInterFont.
    explicit InterFontRegistry(const Environment &environment);

    // Whether the font files were registered and the Inter family found.
    bool isRegistered() const { return m_isRegistered; }

    // The one instance of the process, made with systemEnvironment() on first
    // use (thread-safe). Needs a QGuiApplication.
    static const InterFontRegistry &shared();

    // Looks up the font files, registers them, then looks for the family,
    // logging one line with the outcome. Returns true only when the family is
    // present after registration.
    static bool registerInterFont(const Environment &environment);

    // The real environment: fonts-inter's upright files from the system data
    // folders, QFontDatabase, and logLine.
    static Environment systemEnvironment();

private:
    bool m_isRegistered = false;
};

} // namespace nerim
