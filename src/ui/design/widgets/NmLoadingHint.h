#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;

namespace nerim {

// How the brand mark above a loading hint is drawn: the full wordmark, or the
// two-letter monogram.
enum class NmWordmarkMode { welcome, monogram };

// A waiting state: an optional brand mark above a breathing primary line and
// an optional secondary line, centred. The hint sets no frame, padding or
// background of its own; callers centre it in their space.
class NmLoadingHint : public QWidget {
    Q_OBJECT
public:
    enum class Mark { wordmark, monogram, none };

    // Makes the brand mark view for a mode; the onboarding screens own it and
    // install it at start-up.
    using WordmarkFactory = std::function<QWidget *(NmWordmarkMode mode, QWidget *parent)>;
    static void setWordmarkFactory(WordmarkFactory factory);

    NmLoadingHint(Mark mark, const QString &primary, std::optional<QString> secondary = std::nullopt,
                  QWidget *parent = nullptr);

    Mark mark() const { return m_mark; }
    QLabel *primaryLabel() const { return m_primary; }
    QLabel *secondaryLabel() const { return m_secondary; } // null when there is no second line
    // The mark's view: the factory's, or an empty stand-in that draws nothing
    // but keeps the mark's spacing until a factory is installed. Null for none.
    QWidget *markWidget() const { return m_markWidget; }

private:
    Mark m_mark;
    QWidget *m_markWidget = nullptr;
    QLabel *m_primary = nullptr;
    QLabel *m_secondary = nullptr;
};

} // namespace nerim
