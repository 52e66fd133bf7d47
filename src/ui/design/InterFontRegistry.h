#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace nerim {

// Makes the Inter font (Debian's fonts-inter) available to Qt once per process
// and remembers whether it worked. Font::nm asks `shared()` on every call, so
// the first font made registers Inter if the application has not yet done so.
// Faces the system's font configuration already lists are used as they are;
// only the missing ones are registered (each registration reads and parses
// the font file). The decision is a pure function of its Environment, which
// tests replace.
class InterFontRegistry {
public:
    struct RegisterResult {
        bool ok = false;
        QString errorDescription; // empty when the failure has no description
    };

    struct Environment {
        // The font files to register; empty when fonts-inter is not installed.
        std::function<QStringList()> findFontFiles;
        // The weights (100–900) of the upright Inter faces the system already
        // knows, before anything is registered. Unset: none.
        std::function<QList<int>()> installedUprightWeights;
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

    // Looks up the font files, registers those whose face the system lacks,
    // then looks for the family, logging one line with the outcome. Returns
    // true only when the family is present after registration.
    static bool registerInterFont(const Environment &environment);

    // The weight (100–900) of a fonts-inter file from its name
    // ("…/Inter-SemiBold.otf" is 600); none for a name it does not know.
    static std::optional<int> faceWeight(const QString &path);

    // The real environment: fonts-inter's upright files from the system data
    // folders, QFontDatabase, and logLine.
    static Environment systemEnvironment();

private:
    bool m_isRegistered = false;
};

} // namespace nerim
