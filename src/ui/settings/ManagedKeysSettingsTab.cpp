#include "ui/settings/ManagedKeysSettingsTab.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/widgets/NmCapsuleButton.h"

#include "credentials/ManagedKeysSettingsViewModel.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace nerim {

namespace {

QLabel *plainLabel(const QString &text, QWidget *parent, const char *name = nullptr)
{
    auto *label = new QLabel(text, parent);
    label->setFont(NmFont::body());
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    if (name)
        label->setObjectName(QString::fromLatin1(name));
    return label;
}

void tinted(QLabel *label, NmRgb colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(colour));
    label->setPalette(palette);
}

void secondary(QLabel *label)
{
    tinted(label, NmColor::inkSecondary);
}

// A hairline across the surface.
QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::NoFrame);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, qColor(NmColor::hairline, 0.45));
    line->setPalette(palette);
    return line;
}

// The token field: a paper-shade inset whose hairline outline turns brass
// with the focus.
QString fieldStyleSheet()
{
    const auto rgba = [](NmRgb rgb, double opacity) {
        return QStringLiteral("rgba(%1, %2, %3, %4)").arg(rgb.red).arg(rgb.green).arg(rgb.blue).arg(opacity);
    };
    return QStringLiteral("QLineEdit { background: %1; color: %2; border: 1px solid %3; border-radius: 8px;"
                          " padding: 5px 10px; selection-background-color: %4; selection-color: %2; }"
                          "QLineEdit:focus { border: 1px solid %5; }"
                          "QLineEdit:disabled { color: %6; }")
        .arg(rgba(NmColor::paperShade, 0.8), rgba(NmColor::ink, 1), rgba(NmColor::hairline, 0.7),
             rgba(NmColor::accent, 0.35), rgba(NmColor::accent, 0.8), rgba(NmColor::inkTertiary, 1));
}

QPixmap symbol(const QString &name, qreal pointSize, NmRgb colour, const QWidget *on)
{
    return QPixmap::fromImage(
        NmIcons::image(name, NmSymbolWeight::regular, pointSize, qColor(colour), on->devicePixelRatioF()));
}

} // namespace

ManagedKeysSettingsTab::ManagedKeysSettingsTab(QWidget *parent)
    : QWidget(parent)
    , m_model(new ManagedKeysSettingsViewModel(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(18);

    // Header: icon and title, then the mode line.
    auto *header = new QVBoxLayout;
    header->setSpacing(4);
    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    m_titleIcon = new QLabel(this);
    auto *title = plainLabel(ManagedKeysSettingsViewModel::title(), this, "title");
    title->setWordWrap(false);
    title->setFont(NmFont::title());
    tinted(title, NmColor::ink);
    titleRow->addWidget(m_titleIcon);
    titleRow->addWidget(title, 1);
    header->addLayout(titleRow);
    m_modeLine = plainLabel(QString(), this, "modeLine");
    secondary(m_modeLine);
    header->addWidget(m_modeLine);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    // Mode section.
    auto *section = new QVBoxLayout;
    section->setSpacing(12);
    m_modeDescription = plainLabel(QString(), this, "modeDescription");
    secondary(m_modeDescription);
    section->addWidget(m_modeDescription);
    m_signOut = new NmCapsuleButton(ManagedKeysSettingsViewModel::signOutText(), NmCapsuleButton::Role::destructive,
                                    this);
    m_signOut->setObjectName(QStringLiteral("signOutButton"));
    section->addWidget(m_signOut, 0, Qt::AlignLeft);
    m_signOutDivider = divider(this);
    section->addWidget(m_signOutDivider);
    m_sectionHeading = plainLabel(QString(), this, "sectionHeading");
    m_sectionHeading->setFont(NmFont::bodyMedium());
    section->addWidget(m_sectionHeading);

    auto *entry = new QVBoxLayout;
    entry->setSpacing(8);
    m_tokenField = new QLineEdit(this);
    m_tokenField->setObjectName(QStringLiteral("tokenField"));
    m_tokenField->setEchoMode(QLineEdit::Password);
    m_tokenField->setFont(NmFont::body());
    m_tokenField->setStyleSheet(fieldStyleSheet());
    m_tokenField->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    entry->addWidget(m_tokenField);
    auto *buttons = new QHBoxLayout;
    // The buttons' focus-ring room stands in for part of the spacing.
    buttons->setSpacing(10 - 2 * NmCapsuleButton::kRingRoom);
    m_save = new NmCapsuleButton(QString(), NmCapsuleButton::Role::prominent, this);
    m_save->setObjectName(QStringLiteral("saveButton"));
    m_save->setDefault(false);
    m_save->setAutoDefault(false);
    m_cancel = new NmCapsuleButton(ManagedKeysSettingsViewModel::cancelText(), NmCapsuleButton::Role::bordered, this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAutoDefault(false);
    buttons->addWidget(m_save);
    buttons->addWidget(m_cancel);
    buttons->addStretch(1);
    entry->addLayout(buttons);
    section->addLayout(entry);
    layout->addLayout(section);

    // Result row, shown after a save.
    m_resultDivider = divider(this);
    layout->addWidget(m_resultDivider);
    m_resultRow = new QWidget(this);
    auto *resultLayout = new QHBoxLayout(m_resultRow);
    resultLayout->setContentsMargins(0, 0, 0, 0);
    m_resultIcon = new QLabel(m_resultRow);
    auto *resultText = new QVBoxLayout;
    resultText->setSpacing(2);
    m_resultTitle = plainLabel(QString(), m_resultRow, "resultTitle");
    m_resultDetail = plainLabel(QString(), m_resultRow, "resultDetail");
    secondary(m_resultDetail);
    resultText->addWidget(m_resultTitle);
    resultText->addWidget(m_resultDetail);
    resultLayout->addWidget(m_resultIcon, 0, Qt::AlignTop);
    resultLayout->addLayout(resultText, 1);
    layout->addWidget(m_resultRow);

    layout->addStretch(1);

    // Help note.
    auto *help = new QVBoxLayout;
    help->setSpacing(6);
    auto *helpHeading = plainLabel(ManagedKeysSettingsViewModel::helpHeading(), this, "helpHeading");
    helpHeading->setFont(NmFont::captionMedium());
    auto *helpText = plainLabel(ManagedKeysSettingsViewModel::helpText(), this, "helpText");
    helpText->setFont(NmFont::caption());
    secondary(helpText);
    help->addWidget(helpHeading);
    help->addWidget(helpText);
    layout->addLayout(help);

    connect(m_tokenField, &QLineEdit::textEdited, m_model, &ManagedKeysSettingsViewModel::setPastedToken);
    connect(m_save, &QPushButton::clicked, m_model, [this] { m_model->saveAndVerify(); });
    // Return in the field does what Save & Verify does, when it could be pressed.
    connect(m_tokenField, &QLineEdit::returnPressed, m_model, [this] {
        if (m_model->canSave())
            m_model->saveAndVerify();
    });
    connect(m_cancel, &QPushButton::clicked, m_model, &ManagedKeysSettingsViewModel::cancelEditing);
    connect(m_signOut, &QPushButton::clicked, m_model, [this] { m_model->signOut(); });
    connect(m_model, &ManagedKeysSettingsViewModel::changed, this, &ManagedKeysSettingsTab::sync);
    sync();
    m_model->refreshMode();
}

void ManagedKeysSettingsTab::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_model->refreshMode();
}

bool ManagedKeysSettingsTab::event(QEvent *event)
{
    // A pairing link may have changed the credential while the window was in
    // the background: read the mode again when it comes forward.
    if (event->type() == QEvent::WindowActivate)
        m_model->refreshMode();
    return QWidget::event(event);
}

void ManagedKeysSettingsTab::sync()
{
    const auto mode = m_model->mode();
    // Still reading the keyring: the tab's own symbol until the mode is known.
    QString titleSymbol = QStringLiteral("person.crop.circle");
    if (mode == CredentialMode::Kind::managed)
        titleSymbol = QStringLiteral("checkmark.seal.fill");
    else if (mode == CredentialMode::Kind::byok)
        titleSymbol = QStringLiteral("key.fill");
    else if (mode)
        titleSymbol = QStringLiteral("exclamationmark.triangle.fill");
    m_titleIcon->setPixmap(symbol(titleSymbol, 18, NmColor::accent, this));

    m_modeLine->setText(m_model->modeLine());
    m_modeDescription->setText(m_model->modeDescription());
    m_modeDescription->setVisible(!m_model->modeDescription().isEmpty());
    m_signOut->setVisible(m_model->showsSignOut());
    m_signOutDivider->setVisible(m_model->showsSignOut());
    m_sectionHeading->setText(m_model->sectionHeading());
    m_sectionHeading->setVisible(!m_model->sectionHeading().isEmpty());

    if (m_tokenField->text() != m_model->pastedToken())
        m_tokenField->setText(m_model->pastedToken());
    m_tokenField->setPlaceholderText(m_model->tokenPlaceholder());
    m_tokenField->setEnabled(m_model->canEditToken());
    // Button texts treat "&" as a mnemonic marker; the label shows it as written.
    m_save->setText(QString(m_model->saveButtonText()).replace(QLatin1Char('&'), QStringLiteral("&&")));
    m_save->setEnabled(m_model->canSave());
    m_cancel->setEnabled(m_model->canCancel());

    const bool showsResult = m_model->showsResult();
    m_resultDivider->setVisible(showsResult);
    m_resultRow->setVisible(showsResult);
    if (showsResult) {
        const bool success = m_model->lastResult().kind() == ManagedKeysSettingsViewModel::VerifyResult::Kind::success;
        m_resultIcon->setPixmap(success ? symbol(QStringLiteral("checkmark.circle.fill"), 15, NmColor::success, this)
                                        : symbol(QStringLiteral("xmark.octagon.fill"), 15, NmColor::danger, this));
        m_resultTitle->setText(m_model->resultTitle());
        m_resultDetail->setText(m_model->resultDetail());
        m_resultDetail->setVisible(success);
    }
}

} // namespace nerim
