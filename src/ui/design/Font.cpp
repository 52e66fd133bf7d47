#include "ui/design/Font.h"

#include "ui/design/InterFontRegistry.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QHash>
#include <QScreen>

#include <dlfcn.h>
#include <mutex>
#include <type_traits>

namespace nerim::Font {

namespace {

// The few fontconfig calls resolveAlias makes, looked up in the copy Qt's
// font database has loaded (nothing more is built against fontconfig).
struct Fontconfig {
    using Pattern = void;
    Pattern *(*patternCreate)() = nullptr;
    void (*patternDestroy)(Pattern *) = nullptr;
    int (*patternAddString)(Pattern *, const char *, const unsigned char *) = nullptr;
    int (*patternAddInteger)(Pattern *, const char *, int) = nullptr;
    int (*patternGetString)(const Pattern *, const char *, int, unsigned char **) = nullptr;
    int (*configSubstitute)(void *, Pattern *, int) = nullptr;
    void (*defaultSubstitute)(Pattern *) = nullptr;
    Pattern *(*fontMatch)(void *, Pattern *, int *) = nullptr;

    static const Fontconfig &shared()
    {
        static const Fontconfig loaded = [] {
            Fontconfig f;
            const auto find = [](auto &function, const char *name) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(RTLD_DEFAULT, name));
            };
            find(f.patternCreate, "FcPatternCreate");
            find(f.patternDestroy, "FcPatternDestroy");
            find(f.patternAddString, "FcPatternAddString");
            find(f.patternAddInteger, "FcPatternAddInteger");
            find(f.patternGetString, "FcPatternGetString");
            find(f.configSubstitute, "FcConfigSubstitute");
            find(f.defaultSubstitute, "FcDefaultSubstitute");
            find(f.fontMatch, "FcFontMatch");
            return f;
        }();
        return loaded;
    }

    bool usable() const
    {
        return patternCreate && patternDestroy && patternAddString && patternAddInteger && patternGetString &&
               configSubstitute && defaultSubstitute && fontMatch;
    }
};

// fontconfig's constants (fontconfig.h).
constexpr int kFcMatchPattern = 0;
constexpr int kFcResultMatch = 0;
constexpr int kFcSlantRoman = 0;

// The face fontconfig ranks first for `family` in an upright request, as
// Qt's own lookup ends up with for a name its database lists (the generic
// names too, as stand-ins), found without loading any face. Answers are kept:
// the desktop's names are asked again and again, and the first ones are
// asked ahead, while the display connection is made.
class AliasFaces {
public:
    static AliasFaces &shared()
    {
        static AliasFaces faces;
        return faces;
    }

    QString faceFor(const QString &family)
    {
        {
            const std::lock_guard lock(m_mutex);
            const auto found = m_faces.constFind(family);
            if (found != m_faces.constEnd())
                return *found;
        }
        const QString face = matched(family);
        const std::lock_guard lock(m_mutex);
        m_faces.insert(family, face);
        return face;
    }

private:
    static QString matched(const QString &family)
    {
        const Fontconfig &fc = Fontconfig::shared();
        if (!fc.usable())
            return {};
        QString result;
        Fontconfig::Pattern *pattern = fc.patternCreate();
        if (!pattern)
            return {};
        const QByteArray name = family.toUtf8();
        fc.patternAddString(pattern, "family", reinterpret_cast<const unsigned char *>(name.constData()));
        fc.patternAddInteger(pattern, "slant", kFcSlantRoman);
        fc.configSubstitute(nullptr, pattern, kFcMatchPattern);
        fc.defaultSubstitute(pattern);
        int outcome = -1;
        if (Fontconfig::Pattern *best = fc.fontMatch(nullptr, pattern, &outcome)) {
            // A face with several names ("Inter", "Inter Black") is drawn
            // under the name asked for; a generic name gives the first.
            unsigned char *value = nullptr;
            for (int i = 0; fc.patternGetString(best, "family", i, &value) == kFcResultMatch && value; ++i) {
                const QString name = QString::fromUtf8(reinterpret_cast<const char *>(value));
                if (i == 0)
                    result = name;
                if (name.compare(family, Qt::CaseInsensitive) == 0) {
                    result = name;
                    break;
                }
            }
            fc.patternDestroy(best);
        }
        fc.patternDestroy(pattern);
        return result;
    }

    std::mutex m_mutex;
    QHash<QString, QString> m_faces;
};

} // namespace

void matchAliasesAhead(const QStringList &families)
{
    for (const QString &family : families)
        AliasFaces::shared().faceFor(family);
}

QString resolveAlias(const QFont &font)
{
    const QStringList families = font.families().isEmpty() ? QStringList{font.family()} : font.families();
    const QString family = families.constFirst();
    // (A name with its foundry, "Family [foundry]", is Qt's own notation.)
    if (font.style() == QFont::StyleNormal && !family.contains(QLatin1Char('['))) {
        // A style hint only counts where the name is not in Qt's database.
        const QStringList known = QFontDatabase::families();
        if (font.styleHint() == QFont::AnyStyle || known.contains(family, Qt::CaseInsensitive)) {
            const QString matched = AliasFaces::shared().faceFor(family);
            if (!matched.isEmpty() && known.contains(matched))
                return matched;
        }
    }
    return QFontInfo(font).family();
}

double pointSizeForPixels(double pixels)
{
    double dpi = 96.0;
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        dpi = screen->logicalDotsPerInchY();
    return pixels * 72.0 / dpi;
}

QFont nm(double size, QFont::Weight weight)
{
    return nm(InterFontRegistry::shared(), size, weight);
}

QFont nm(const InterFontRegistry &registry, double size, QFont::Weight weight)
{
    QFont font = registry.isRegistered() ? QFont(NmFontFamily::inter)
                                         : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(pointSizeForPixels(size));
    font.setWeight(weight);
    font.setItalic(false);
    if (registry.isRegistered()) {
        // Inter is a face the database has (the registry checked), not an
        // alias: no need to load it to learn which face it stands for.
        font.setFamilies({NmFontFamily::inter, emojiFamily});
        return font;
    }
    return withEmojiFallback(font);
}

QFont nmMono(double size)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSizeForPixels(size));
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return withEmojiFallback(font);
}

QFont withEmojiFallback(QFont font)
{
    QStringList families = font.families();
    if (families.isEmpty())
        families.append(font.family());
    if (families.contains(emojiFamily))
        return font;
    // A generic name ("monospace", "Sans Serif") is the desktop's alias, not
    // a face Qt knows: with a list, Qt would pass over it and make the emoji
    // face the font of every character it has (digits among them). The face
    // the alias stands for takes its place, then (which also spares Qt a
    // search for the alias among every face the desktop has).
    const QString resolved = resolveAlias(font);
    if (!resolved.isEmpty() && !families.contains(resolved))
        families.replace(0, resolved);
    families.append(emojiFamily);
    font.setFamilies(families);
    return font;
}

void installEmojiFallback()
{
    QGuiApplication::setFont(withEmojiFallback(QGuiApplication::font()));
}

QFont make(const NmFontSpec &spec)
{
    return spec.monospaced ? nmMono(spec.size) : nm(spec.size, spec.weight);
}

} // namespace nerim::Font

namespace nerim::NmFont {

#define NERIM_FONT_TOKEN(name)                                                                     \
    const QFont &name()                                                                            \
    {                                                                                              \
        static const QFont font = Font::make(NmFontSpecs::name);                                   \
        return font;                                                                               \
    }

NERIM_FONT_TOKEN(display)
NERIM_FONT_TOKEN(largeTitle)
NERIM_FONT_TOKEN(title)
NERIM_FONT_TOKEN(subtitle)
NERIM_FONT_TOKEN(body)
NERIM_FONT_TOKEN(bodyMedium)
NERIM_FONT_TOKEN(caption)
NERIM_FONT_TOKEN(captionMedium)
NERIM_FONT_TOKEN(micro)
NERIM_FONT_TOKEN(mono)
NERIM_FONT_TOKEN(monoSmall)

#undef NERIM_FONT_TOKEN

} // namespace nerim::NmFont

namespace nerim {

QFont Font::tracked(const QFont &font, double points)
{
    QFont result = font;
    result.setLetterSpacing(QFont::AbsoluteSpacing, points);
    return result;
}

} // namespace nerim
