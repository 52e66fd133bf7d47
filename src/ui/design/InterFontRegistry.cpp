#include "ui/design/InterFontRegistry.h"

#include "foundation/Log.h"
#include "ui/design/DesignTokens.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QStandardPaths>

namespace nerim {

namespace {

// fonts-inter's upright faces: the style in the file name and the weight.
struct UprightFace {
    QString style;
    int weight;
};

const QList<UprightFace> &uprightFaces()
{
    static const QList<UprightFace> faces = {
        {QStringLiteral("Thin"), 100},    {QStringLiteral("ExtraLight"), 200}, {QStringLiteral("Light"), 300},
        {QStringLiteral("Regular"), 400}, {QStringLiteral("Medium"), 500},     {QStringLiteral("SemiBold"), 600},
        {QStringLiteral("Bold"), 700},    {QStringLiteral("ExtraBold"), 800},  {QStringLiteral("Black"), 900},
    };
    return faces;
}

} // namespace

InterFontRegistry::InterFontRegistry(const Environment &environment)
    : m_isRegistered(registerInterFont(environment))
{
}

const InterFontRegistry &InterFontRegistry::shared()
{
    static const InterFontRegistry registry(systemEnvironment());
    return registry;
}

bool InterFontRegistry::registerInterFont(const Environment &env)
{
    // 1. The font files.
    const QStringList files = env.findFontFiles();
    if (files.isEmpty()) {
        env.log(QStringLiteral("[Nerim design] Inter font files not found. Font.nm(...) will fall back to the "
                               "system font. Install Debian's fonts-inter package (scripts/setup installs it)."));
        return false;
    }

    // 2–3. Register every file whose face the system lacks; the first
    // failure ends the registration.
    const QList<int> installed = env.installedUprightWeights ? env.installedUprightWeights() : QList<int>();
    for (const QString &file : files) {
        const std::optional<int> weight = faceWeight(file);
        if (weight && installed.contains(*weight))
            continue;
        const RegisterResult result = env.registerFontFile(file);
        if (!result.ok) {
            const QString description =
                result.errorDescription.isEmpty() ? QStringLiteral("unknown") : result.errorDescription;
            env.log(QStringLiteral("[Nerim design] QFontDatabase::addApplicationFont failed for %1 — %2. "
                                   "Font.nm(...) will fall back to the system font.")
                        .arg(QFileInfo(file).fileName(), description));
            return false;
        }
    }

    // 4–5. The family, by exact, case-sensitive name.
    const QStringList families = env.familyNames();
    if (families.contains(NmFontFamily::inter, Qt::CaseSensitive)) {
        env.log(QStringLiteral("[Nerim design] Inter font registered — Font.nm(...) will use Inter from "
                               "fonts-inter."));
        return true;
    }

    // 6. Registered, but under another name: say which names look like it.
    QStringList interLike;
    for (const QString &family : families) {
        if (family.contains(QStringLiteral("inter"), Qt::CaseInsensitive))
            interLike.append(family);
    }
    env.log(QStringLiteral("[Nerim design] Inter registered but family '%1' not found. Inter-like families "
                           "present: %2. Update NmFontFamily.inter in DesignTokens to match.")
                .arg(NmFontFamily::inter, interLike.join(QStringLiteral(", "))));
    return false;
}

std::optional<int> InterFontRegistry::faceWeight(const QString &path)
{
    const QString name = QFileInfo(path).completeBaseName();
    for (const UprightFace &face : uprightFaces()) {
        if (name == QLatin1String("Inter-") + face.style)
            return face.weight;
    }
    return std::nullopt;
}

InterFontRegistry::Environment InterFontRegistry::systemEnvironment()
{
    Environment env;
    env.findFontFiles = [] {
        // fonts-inter installs its static faces here; the upright weights are
        // the ones the type scale uses.
        const QStringList folders = QStandardPaths::locateAll(
            QStandardPaths::GenericDataLocation, QStringLiteral("fonts/opentype/inter"),
            QStandardPaths::LocateDirectory);
        QStringList candidates = folders;
        const QString debianFolder = QStringLiteral("/usr/share/fonts/opentype/inter");
        if (!candidates.contains(debianFolder))
            candidates.append(debianFolder);
        for (const QString &folder : candidates) {
            const QDir dir(folder);
            if (!dir.exists(QStringLiteral("Inter-Regular.otf")))
                continue;
            QStringList files;
            for (const UprightFace &face : uprightFaces()) {
                const QString path = dir.filePath(QStringLiteral("Inter-%1.otf").arg(face.style));
                if (QFileInfo::exists(path))
                    files.append(path);
            }
            return files;
        }
        return QStringList();
    };
    env.installedUprightWeights = [] {
        QList<int> weights;
        for (const QString &style : QFontDatabase::styles(NmFontFamily::inter)) {
            if (!QFontDatabase::italic(NmFontFamily::inter, style))
                weights.append(QFontDatabase::weight(NmFontFamily::inter, style));
        }
        return weights;
    };
    env.registerFontFile = [](const QString &path) {
        RegisterResult result;
        if (QFontDatabase::addApplicationFont(path) >= 0) {
            result.ok = true;
            return result;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            result.errorDescription = file.errorString();
        else
            result.errorDescription = QStringLiteral("the file is not a font Qt can load");
        return result;
    };
    env.familyNames = [] { return QFontDatabase::families(); };
    env.log = [](const QString &line) { logLine(line); };
    return env;
}

} // namespace nerim
