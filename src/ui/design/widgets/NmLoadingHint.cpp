#include "ui/design/widgets/NmLoadingHint.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/widgets/NmBreathingPulse.h"
#include "ui/design/widgets/NmText.h"

#include <QLabel>
#include <QVBoxLayout>

namespace nerim {

namespace {

constexpr int kWordmarkSpacing = 24;
constexpr int kMonogramSpacing = 12;
constexpr int kLineSpacing = 4;

NmLoadingHint::WordmarkFactory &wordmarkFactory()
{
    static NmLoadingHint::WordmarkFactory factory;
    return factory;
}

QLabel *makeLine(const QString &text, const QFont &font, const QColor &colour, QWidget *parent)
{
    auto *label = new QLabel(parent);
    NmText::setPlainText(label, text);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

} // namespace

void NmLoadingHint::setWordmarkFactory(WordmarkFactory factory)
{
    wordmarkFactory() = std::move(factory);
}

NmLoadingHint::NmLoadingHint(Mark mark, const QString &primary, std::optional<QString> secondary, QWidget *parent)
    : QWidget(parent)
    , m_mark(mark)
{
    setObjectName(QStringLiteral("NmLoadingHint"));
    // As tall as its content: extra height goes to the caller's layout, not
    // between the lines.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(mark == Mark::wordmark ? kWordmarkSpacing : mark == Mark::monogram ? kMonogramSpacing : 0);

    if (mark != Mark::none) {
        const NmWordmarkMode mode = mark == Mark::wordmark ? NmWordmarkMode::welcome : NmWordmarkMode::monogram;
        if (wordmarkFactory())
            m_markWidget = wordmarkFactory()(mode, this);
        if (!m_markWidget) {
            m_markWidget = new QWidget(this);
            m_markWidget->setFixedSize(0, 0);
        }
        m_markWidget->setObjectName(QStringLiteral("mark"));
        outer->addWidget(m_markWidget, 0, Qt::AlignHCenter);
    }

    auto *lines = new QVBoxLayout;
    lines->setSpacing(kLineSpacing);
    const QFont &primaryFont = mark == Mark::wordmark   ? NmFont::subtitle()
                               : mark == Mark::monogram ? NmFont::body()
                                                        : NmFont::caption();
    m_primary = makeLine(primary, primaryFont, qColor(NmColor::inkSecondary), this);
    m_primary->setObjectName(QStringLiteral("primary"));
    lines->addWidget(m_primary, 0, Qt::AlignHCenter);
    NmBreathingPulse::apply(m_primary);
    if (secondary) {
        m_secondary = makeLine(*secondary, NmFont::caption(), qColor(NmColor::inkTertiary), this);
        m_secondary->setObjectName(QStringLiteral("secondary"));
        lines->addWidget(m_secondary, 0, Qt::AlignHCenter);
    }
    outer->addLayout(lines);
}

} // namespace nerim
