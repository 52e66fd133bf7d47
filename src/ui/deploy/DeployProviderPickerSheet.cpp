#include "ui/deploy/DeployProviderPickerSheet.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployControls.h"
#include "ui/deploy/DeployLook.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"

#include <QCoro/QCoroFuture>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QtMath>

namespace nerim {

namespace {

constexpr qreal rowPad = 14;
constexpr qreal rowSpacing = 14;
constexpr qreal indicatorSize = 20;
constexpr qreal symbolSize = 18;
constexpr qreal symbolFrame = 28;

const DeployLook::PickerRow &rowInfo(DeployProvider provider)
{
    for (const DeployLook::PickerRow &row : DeployLook::pickerRows())
        if (row.provider == provider)
            return row;
    return DeployLook::pickerRows().first();
}

QFont tagFont()
{
    QFont font = Font::tracked(NmFont::micro(), 0.08);
    font.setCapitalization(QFont::AllUppercase);
    return font;
}

// Where the texts start, and the width they may take in a row of `width`.
qreal textLeft() { return rowPad + NmIcons::boxSide(indicatorSize) + rowSpacing + symbolFrame + rowSpacing; }

qreal tagLineHeight(const QString &text, qreal width)
{
    return QFontMetricsF(NmFont::body())
        .boundingRect(QRectF(0, 0, qMax<qreal>(1, width), 10000), Qt::TextWordWrap, text)
        .height();
}

qreal titleLineHeight()
{
    return qMax(QFontMetricsF(NmFont::bodyMedium()).height(), QFontMetricsF(tagFont()).height() + 6);
}

} // namespace

// ---- DeployProviderRow --------------------------------------------------------------------------

DeployProviderRow::DeployProviderRow(DeployProvider provider, QWidget *parent)
    : QAbstractButton(parent), m_provider(provider)
{
    setObjectName(QStringLiteral("row:") + provider.rawValue());
    setCheckable(true);
    setText(rowInfo(provider).name);
    setFocusPolicy(Qt::TabFocus);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int DeployProviderRow::heightForWidth(int width) const
{
    const DeployLook::PickerRow &info = rowInfo(m_provider);
    const qreal textWidth = width - textLeft() - rowPad;
    const qreal texts = titleLineHeight() + 3 + tagLineHeight(info.tagLine, textWidth);
    const qreal leading = 2 + NmIcons::boxSide(indicatorSize);
    return qCeil(2 * rowPad + qMax(texts, leading));
}

QSize DeployProviderRow::sizeHint() const { return QSize(412, heightForWidth(412)); }

QSize DeployProviderRow::minimumSizeHint() const { return QSize(260, heightForWidth(260)); }

void DeployProviderRow::paintEvent(QPaintEvent *)
{
    const DeployLook::PickerRow &info = rowInfo(m_provider);
    const DeployLook::ProviderRowLook look = DeployLook::providerRowLook(isChecked());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(look.strokeWidth / 2, look.strokeWidth / 2, -look.strokeWidth / 2,
                                               -look.strokeWidth / 2);
    const QPainterPath shape = NmPainter::continuousRoundedRectPath(box, 10);
    painter.fillPath(shape, tintColor(look.fill));
    painter.setPen(QPen(tintColor(look.stroke), look.strokeWidth));
    painter.drawPath(shape);
    if (hasFocus()) {
        painter.setPen(QPen(qColor(NmColor::accent, 0.6), 1.5));
        painter.drawPath(NmPainter::continuousRoundedRectPath(box.adjusted(2, 2, -2, -2), 8));
    }

    qreal x = rowPad;
    const qreal top = rowPad;
    const qreal indicatorSide = NmIcons::boxSide(indicatorSize);
    NmIcons::paint(painter, QRectF(x, top + 2, indicatorSide, indicatorSide), look.indicator, NmSymbolWeight::regular,
                   indicatorSize, tintColor(look.indicatorTint));
    x += indicatorSide + rowSpacing;
    const qreal symbolSide = NmIcons::boxSide(symbolSize);
    NmIcons::paint(painter, QRectF(x + (symbolFrame - symbolSide) / 2, top + 2 + (indicatorSide - symbolSide) / 2,
                                   symbolSide, symbolSide),
                   info.symbol, NmSymbolWeight::medium, symbolSize, qColor(NmColor::ink));
    x += symbolFrame + rowSpacing;

    // Name and tag chip on one line, centred on each other.
    const qreal lineHeight = titleLineHeight();
    painter.setFont(NmFont::bodyMedium());
    painter.setPen(qColor(NmColor::ink));
    const qreal nameWidth = QFontMetricsF(NmFont::bodyMedium()).horizontalAdvance(info.name);
    painter.drawText(QRectF(x, top, nameWidth + 1, lineHeight), Qt::AlignVCenter | Qt::AlignLeft, info.name);
    const QFont chipFont = tagFont();
    const QFontMetricsF chipMetrics(chipFont);
    const QString tag = info.tag.toUpper();
    const QRectF chip(x + nameWidth + 8, top + (lineHeight - chipMetrics.height() - 6) / 2,
                      chipMetrics.horizontalAdvance(tag) + 14, chipMetrics.height() + 6);
    painter.fillPath(NmPainter::capsulePath(chip), qColor(NmColor::hairline, 0.22));
    painter.setFont(chipFont);
    painter.setPen(qColor(NmColor::inkSecondary));
    painter.drawText(chip, Qt::AlignCenter, tag);

    painter.setFont(NmFont::body());
    painter.setPen(qColor(NmColor::inkSecondary));
    const qreal textWidth = width() - x - rowPad;
    painter.drawText(QRectF(x, top + lineHeight + 3, textWidth, height() - top - lineHeight - 3),
                     Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, info.tagLine);
}

// ---- DeployProviderPickerSheet ------------------------------------------------------------------

DeployProviderPickerSheet::DeployProviderPickerSheet(const QSet<DeployProvider> &seed, QWidget *parent)
    : QDialog(parent), m_checked(seed)
{
    setObjectName(QStringLiteral("DeployProviderPickerSheet"));
    setWindowTitle(DeployLook::Text::pickerTitle);
    setMinimumSize(460, 380);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, qColor(NmColor::paper));
    palette.setColor(QPalette::WindowText, qColor(NmColor::ink));
    setPalette(palette);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(20);

    auto *header = new QVBoxLayout;
    header->setSpacing(6);
    auto *title = new QLabel(DeployLook::Text::pickerTitle, this);
    title->setObjectName(QStringLiteral("pickerTitle"));
    title->setFont(NmFont::title());
    auto *lead = new QLabel(DeployLook::Text::pickerLead, this);
    lead->setObjectName(QStringLiteral("pickerLead"));
    lead->setFont(NmFont::subtitle());
    lead->setWordWrap(true);
    QPalette secondary = lead->palette();
    secondary.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    lead->setPalette(secondary);
    header->addWidget(title);
    header->addWidget(lead);
    layout->addLayout(header);

    auto *divider = new QFrame(this);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette line = divider->palette();
    line.setColor(QPalette::Window, qColor(NmColor::hairline, 0.3));
    divider->setPalette(line);
    layout->addWidget(divider);

    auto *rows = new QVBoxLayout;
    rows->setSpacing(12);
    for (const DeployLook::PickerRow &info : DeployLook::pickerRows()) {
        auto *row = new DeployProviderRow(info.provider, this);
        connect(row, &QAbstractButton::clicked, this, [this, provider = info.provider] { toggle(provider); });
        m_rows.insert(info.provider, row);
        rows->addWidget(row);
    }
    layout->addLayout(rows);
    layout->addStretch(1);

    auto *footer = new QHBoxLayout;
    footer->setSpacing(10);
    m_hint = new QLabel(this);
    m_hint->setObjectName(QStringLiteral("orderHint"));
    m_hint->setFont(NmFont::caption());
    m_hint->setWordWrap(true);
    m_hint->setTextFormat(Qt::PlainText);
    m_hint->setPalette(secondary);
    m_cancel = new DeployCapsuleButton(DeployLook::Text::pickerCancel, this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setLook(font(), {NmColor::ink}, {NmColor::paperBright}, DeployLook::Tint{NmColor::hairline, 0.6}, 0.75);
    m_cancel->setPadding(14, 8);
    connect(m_cancel, &QAbstractButton::clicked, this, &DeployProviderPickerSheet::cancel);
    m_commit = new DeployCapsuleButton(QString(), this);
    m_commit->setObjectName(QStringLiteral("commitButton"));
    m_commit->setPadding(18, 8);
    m_commit->setFadesWhenDisabled(false);
    connect(m_commit, &QAbstractButton::clicked, this, &DeployProviderPickerSheet::commit);
    footer->addWidget(m_hint, 1);
    footer->addWidget(m_cancel, 0, Qt::AlignVCenter);
    footer->addWidget(m_commit, 0, Qt::AlignVCenter);
    layout->addLayout(footer);
    refresh();
}

void DeployProviderPickerSheet::toggle(DeployProvider provider)
{
    if (m_checked.contains(provider))
        m_checked.remove(provider);
    else
        m_checked.insert(provider);
    refresh();
}

void DeployProviderPickerSheet::refresh()
{
    for (auto it = m_rows.begin(); it != m_rows.end(); ++it)
        it.value()->setChecked(m_checked.contains(it.key()));
    m_hint->setText(DeployLook::orderHint(m_checked));
    const DeployLook::CommitButtonLook look = DeployLook::commitButtonLook(m_checked);
    m_commit->setText(look.title);
    m_commit->setLook(NmFont::bodyMedium(), look.text, look.fill);
    m_commit->setEnabled(look.enabled);
}

void DeployProviderPickerSheet::commit()
{
    if (!DeployLook::canCommitPicker(m_checked))
        return;
    leave(m_checked);
}

void DeployProviderPickerSheet::cancel() { leave({}); }

void DeployProviderPickerSheet::reject()
{
    // Escape and the window's close button leave as Cancel does.
    if (!m_left) {
        m_left = true;
        emit committed({});
    }
    QDialog::reject();
}

void DeployProviderPickerSheet::leave(const QSet<DeployProvider> &providers)
{
    if (m_left)
        return; // a double Return leaves once
    m_left = true;
    emit committed(providers);
    if (providers.isEmpty())
        QDialog::reject();
    else
        accept();
}

void DeployProviderPickerSheet::keyPressEvent(QKeyEvent *event)
{
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            commit(); // acts only while the commit button is enabled
            return;
        }
        if (event->key() == Qt::Key_Escape) {
            cancel();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

QCoro::Task<QSet<DeployProvider>> DeployProviderPickerSheet::seedFor(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return DeployLook::pickerSeed(QString(), {});
    const QString command =
        canvas->lastAttemptedLaunchPlan() ? canvas->lastAttemptedLaunchPlan()->shellCommand : QString();
    QFuture<DeployProjectFiles> reading = DeployProjectFiles::readInBackground(canvas->projectPath());
    const DeployProjectFiles files = co_await reading;
    const QSet<QString> dependencies(files.dependencies.begin(), files.dependencies.end());
    co_return DeployLook::pickerSeed(command, dependencies);
}

} // namespace nerim
