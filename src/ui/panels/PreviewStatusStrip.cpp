#include "ui/panels/PreviewStatusStrip.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PanelWidgets.h"

#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cmath>

namespace nerim {

namespace {

// A row of the status strip on its tint.
class TintedRow : public QWidget {
public:
    TintedRow(QColor fill, QWidget *parent) : QWidget(parent), m_fill(fill) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), m_fill);
    }

private:
    QColor m_fill;
};

// A banner row: its symbol, its text, its action buttons and its dismiss
// button in one line while the text keeps a readable width beside them;
// narrower, the action buttons move under the text, so the text always has
// the row's width to wrap in and is never squeezed to nothing.
class BannerRow : public TintedRow {
public:
    BannerRow(QColor fill, QWidget *parent) : TintedRow(fill, parent)
    {
        m_grid = new QGridLayout(this);
        m_grid->setContentsMargins(12, 8, 12, 8);
        m_grid->setHorizontalSpacing(8);
        m_grid->setVerticalSpacing(6);
        m_grid->setColumnStretch(1, 1);
        m_actions = new QHBoxLayout;
        m_actions->setContentsMargins(0, 0, 0, 0);
        m_actions->setSpacing(8);
    }

    void setSymbol(QWidget *symbol) { m_grid->addWidget(symbol, 0, 0, Qt::AlignTop); m_symbol = symbol; }
    void setText(PreviewBannerText *text) { m_grid->addWidget(text, 0, 1); m_text = text; }
    void addAction(QWidget *button) { m_actions->addWidget(button); m_actionWidgets.append(button); }
    void setDismiss(QWidget *button) { m_grid->addWidget(button, 0, 3, Qt::AlignTop); m_dismiss = button; }
    void finish() { arrange(width() > 0 ? width() : sizeHint().width()); }

    // Whether the action buttons sit under the text (the row is narrow).
    bool actionsBelow() const { return m_below; }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        TintedRow::resizeEvent(event);
        arrange(event->size().width());
    }

private:
    // The least width the text keeps beside the buttons: its own width when
    // shorter, else enough for a few words a line.
    static constexpr int kReadableTextWidth = 220;

    void arrange(int rowWidth)
    {
        if (m_actionWidgets.isEmpty()) {
            place(false);
            return;
        }
        const QMargins margins = m_grid->contentsMargins();
        const int spacing = m_grid->horizontalSpacing();
        int beside = rowWidth - margins.left() - margins.right();
        if (m_symbol)
            beside -= m_symbol->sizeHint().width() + spacing;
        if (m_dismiss)
            beside -= m_dismiss->sizeHint().width() + spacing;
        beside -= m_actions->sizeHint().width() + spacing;
        const int natural = m_text ? QFontMetrics(m_text->font()).horizontalAdvance(m_text->text()) + 1 : 0;
        place(beside < std::min(natural, kReadableTextWidth));
    }

    void place(bool below)
    {
        if (m_placed && below == m_below)
            return;
        m_placed = true;
        m_below = below;
        m_grid->removeItem(m_actions);
        if (below)
            m_grid->addLayout(m_actions, 1, 1, 1, 1, Qt::AlignLeft | Qt::AlignTop);
        else
            m_grid->addLayout(m_actions, 0, 2, 1, 1, Qt::AlignVCenter);
    }

    QGridLayout *m_grid;
    QHBoxLayout *m_actions;
    QList<QWidget *> m_actionWidgets;
    QWidget *m_symbol = nullptr;
    PreviewBannerText *m_text = nullptr;
    QWidget *m_dismiss = nullptr;
    bool m_placed = false;
    bool m_below = false;
};

CapsuleButton::Look pillLook(const QString &symbol)
{
    CapsuleButton::Look look;
    look.font = NmFont::caption();
    look.text = qColor(NmColor::ink);
    look.fill = qColor(NmColor::paperBright);
    look.stroke = qColor(NmColor::hairline, 0.4);
    look.symbol = symbol;
    look.symbolSize = 9;
    look.symbolWeight = NmSymbolWeight::semibold;
    look.paddingX = 10;
    look.paddingY = 4;
    return look;
}

} // namespace

PreviewBannerText::PreviewBannerText(int lines, QWidget *parent) : QLabel(parent), m_lines(lines) {}

bool PreviewBannerText::isCut() const
{
    bool complete = true;
    NmText::wrappedLines(text(), font(), std::max(contentsRect().width(), 1), m_lines, &complete);
    return !complete;
}

QStringList PreviewBannerText::linesAt(int width) const
{
    return NmText::wrappedLines(text(), font(), std::max(width, 1), m_unfolded ? INT_MAX : m_lines);
}

int PreviewBannerText::heightForWidth(int width) const
{
    const QMargins margins = contentsMargins();
    const qsizetype count = std::max<qsizetype>(1, linesAt(width - margins.left() - margins.right()).size());
    return lineHeight() * int(count) + margins.top() + margins.bottom();
}

int PreviewBannerText::lineHeight() const { return int(std::ceil(QFontMetricsF(font()).lineSpacing())); }

QSize PreviewBannerText::sizeHint() const
{
    const int width = QLabel::sizeHint().width();
    return {width, heightForWidth(width)};
}

QSize PreviewBannerText::minimumSizeHint() const { return {0, heightForWidth(std::max(width(), 1))}; }

void PreviewBannerText::setUnfolded(bool unfolded)
{
    if (m_unfolded == unfolded)
        return;
    m_unfolded = unfolded;
    follow();
    update();
}

void PreviewBannerText::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const QRect area = contentsRect();
    const QFontMetricsF metrics(font());
    qreal y = area.top() + metrics.ascent();
    for (const QString &line : shownLines()) {
        painter.drawText(QPointF(area.left(), y), line);
        y += lineHeight();
    }
}

void PreviewBannerText::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    follow();
}

void PreviewBannerText::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        follow();
}

void PreviewBannerText::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && (m_unfolded || isCut())) {
        setUnfolded(!m_unfolded);
        event->accept();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void PreviewBannerText::follow()
{
    const int wanted = heightForWidth(width());
    if (wanted != minimumHeight())
        setMinimumHeight(wanted);
    const bool cut = isCut();
    NmText::setPlainToolTip(this, cut ? text() : QString());
    setCursor(cut || m_unfolded ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

namespace {

// Lines a banner's text shows before it folds: the messages it carries (a
// start-up failure, the project-type hint, a page error) are whole in them
// at the narrowest preview Nerim lays out.
constexpr int kBannerLines = 10;

PreviewBannerText *bannerText(const QString &text, int lines, QWidget *parent)
{
    auto *label = new PreviewBannerText(lines, parent);
    NmText::setPlainText(label, text);
    label->setFont(NmFont::caption());
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(NmColor::ink));
    label->setPalette(palette);
    label->setWordWrap(true);
    label->setObjectName(QStringLiteral("bannerText"));
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    return label;
}

// Calls `action` (when there is one) from a click, for as long as `context` lives.
void onClick(QAbstractButton *button, QObject *context, const std::function<void()> &action)
{
    QObject::connect(button, &QAbstractButton::clicked, context, [action] {
        if (action)
            action();
    });
}

// The secret prompt: the explanation, "NAME=" and a masked field with Submit.
QWidget *secretPrompt(const PreviewPanelLook::Strip &strip, const QString &secretDraft,
                      const PreviewStripActions &actions, TintedRow *row, QWidget *panel)
{
    row->setObjectName(QStringLiteral("secretPrompt"));
    auto *column = new QVBoxLayout(row);
    column->setContentsMargins(12, 10, 12, 10);
    column->setSpacing(8);
    auto *head = new QHBoxLayout;
    head->setSpacing(8);
    QLabel *key =
        symbolLabel(QStringLiteral("key.horizontal"), 12, NmSymbolWeight::regular, qColor(NmColor::accent), row);
    head->addWidget(key, 0, Qt::AlignTop);
    head->addWidget(bannerText(strip.text, 3, row), 1, Qt::AlignTop);
    if (strip.showsCancel) {
        auto *cancel = xmarkButton(18, Strings::PreviewPanel::cancelSecretHelp, row);
        cancel->setObjectName(QStringLiteral("cancelRepairButton"));
        onClick(cancel, panel, actions.cancelRepair);
        head->addWidget(cancel, 0, Qt::AlignTop);
    }
    column->addLayout(head);
    auto *entry = new QHBoxLayout;
    entry->setSpacing(8);
    QLabel *name =
        plainLabel(strip.varName + QLatin1Char('='), NmFont::monoSmall(), qColor(NmColor::inkSecondary), row);
    name->setObjectName(QStringLiteral("secretName"));
    entry->addWidget(name);
    auto *field = new QLineEdit(row);
    field->setObjectName(QStringLiteral("secretField"));
    field->setEchoMode(QLineEdit::Password);
    field->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText
                               | Qt::ImhNoAutoUppercase);
    field->setFont(NmFont::monoSmall());
    field->setText(secretDraft);
    field->setStyleSheet(QStringLiteral("QLineEdit{background:%1;border:0.5px solid %2;border-radius:4px;"
                                        "padding:4px 8px;color:%3;}")
                             .arg(qColor(NmColor::paperShade, 0.7).name(QColor::HexArgb),
                                  qColor(NmColor::accent, 0.4).name(QColor::HexArgb), qColor(NmColor::ink).name()));
    entry->addWidget(field, 1);
    CapsuleButton::Look look;
    look.font = NmFont::caption();
    look.text = qColor(NmColor::ink);
    look.fill = qColor(NmColor::accent, 0.2);
    look.stroke = qColor(NmColor::accent, 0.5);
    look.paddingX = 12;
    look.paddingY = 4;
    auto *submit = new CapsuleButton(Strings::PreviewPanel::submit, look, row);
    submit->setObjectName(QStringLiteral("secretSubmit"));
    submit->setEnabled(!secretDraft.isEmpty());
    entry->addWidget(submit);
    column->addLayout(entry);
    const std::function<void(const QString &)> edited = actions.secretEdited;
    QObject::connect(field, &QLineEdit::textEdited, panel, [edited, submit](const QString &text) {
        if (edited)
            edited(text);
        submit->setEnabled(!text.isEmpty());
    });
    const std::function<void()> send = actions.submitSecret;
    QObject::connect(field, &QLineEdit::returnPressed, panel, [send] {
        if (send)
            send();
    });
    onClick(submit, panel, actions.submitSecret);
    return row;
}

} // namespace

QWidget *buildPreviewStripRow(const PreviewPanelLook::Strip &strip, const QString &secretDraft,
                              const PreviewStripActions &actions, QWidget *panel)
{
    using Row = PreviewPanelLook::Strip::Row;
    QColor fill;
    switch (strip.row) {
    case Row::error: fill = qColor(NmColor::danger, 0.06); break;
    case Row::progress: fill = qColor(NmColor::accent, 0.06); break;
    case Row::secret: fill = qColor(NmColor::accent, 0.08); break;
    case Row::fixed: fill = QColor::fromRgbF(0.2f, 0.78f, 0.35f, 0.1f); break;
    case Row::stuck: fill = QColor::fromRgbF(1.0f, 0.58f, 0.0f, 0.08f); break;
    case Row::none: return nullptr;
    }
    if (strip.row == Row::secret)
        return secretPrompt(strip, secretDraft, actions, new TintedRow(fill, panel), panel);

    auto *row = new BannerRow(fill, panel);
    const auto dismiss = [&](const std::function<void()> &action) {
        auto *button = xmarkButton(18, Strings::PreviewPanel::dismiss, row);
        button->setObjectName(QStringLiteral("dismissButton"));
        onClick(button, panel, action);
        row->setDismiss(button);
    };
    const auto text = [&](const QString &shown) { row->setText(bannerText(shown, kBannerLines, row)); };

    switch (strip.row) {
    case Row::error: {
        row->setObjectName(QStringLiteral("errorRow"));
        row->setSymbol(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 10, NmSymbolWeight::regular,
                                   qColor(NmColor::danger), row));
        text(strip.text);
        if (strip.showsAsk) {
            auto *ask = new CapsuleButton(Strings::PreviewPanel::ask, pillLook(QStringLiteral("wand.and.stars")), row);
            ask->setObjectName(QStringLiteral("askButton"));
            NmText::setPlainToolTip(ask, Strings::PreviewPanel::askHelp);
            onClick(ask, panel, actions.beginRepair);
            row->addAction(ask);
        }
        dismiss(actions.dismissError);
        break;
    }
    case Row::progress: {
        row->setObjectName(QStringLiteral("progressRow"));
        auto *spinner = new NmActivitySpinner(row);
        spinner->setColor(qColor(NmColor::inkSecondary));
        spinner->setDiameter(NmActivitySpinner::smallDiameter * 0.7);
        spinner->setFixedSize(14, 14);
        row->setSymbol(spinner);
        text(strip.text);
        if (strip.showsCancel) {
            CapsuleButton::Look look;
            look.font = NmFont::caption();
            look.text = qColor(NmColor::inkSecondary);
            look.fill = qColor(NmColor::paperShade, 0.6);
            look.stroke = Qt::transparent;
            look.paddingX = 8;
            look.paddingY = 3;
            auto *cancel = new CapsuleButton(Strings::PreviewPanel::cancel, look, row);
            cancel->setObjectName(QStringLiteral("cancelRepairButton"));
            NmText::setPlainToolTip(cancel, Strings::PreviewPanel::cancelHelp);
            onClick(cancel, panel, actions.cancelRepair);
            row->addAction(cancel);
        }
        break;
    }
    case Row::fixed:
        row->setObjectName(QStringLiteral("fixedRow"));
        row->setSymbol(symbolLabel(QStringLiteral("checkmark.circle.fill"), 11, NmSymbolWeight::regular,
                                   QColor::fromRgbF(0.2f, 0.78f, 0.35f), row));
        text(strip.text.isEmpty() ? Strings::PreviewPanel::fixedShort : strip.text);
        break;
    case Row::stuck: {
        row->setObjectName(QStringLiteral("stuckRow"));
        row->setSymbol(symbolLabel(QStringLiteral("exclamationmark.circle.fill"), 11, NmSymbolWeight::regular,
                                   QColor::fromRgbF(1.0f, 0.58f, 0.0f), row));
        text(strip.text);
        if (strip.showsTryAgain) {
            auto *retry =
                new CapsuleButton(Strings::PreviewPanel::tryAgain, pillLook(QStringLiteral("arrow.clockwise")), row);
            retry->setObjectName(QStringLiteral("tryAgainButton"));
            NmText::setPlainToolTip(retry, Strings::PreviewPanel::tryAgainHelp);
            onClick(retry, panel, actions.retryRepair);
            row->addAction(retry);
        }
        dismiss(actions.dismissStuck);
        break;
    }
    case Row::secret:
    case Row::none: break;
    }
    row->finish();
    return row;
}

} // namespace nerim
