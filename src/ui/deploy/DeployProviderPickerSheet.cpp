#include "ui/deploy/DeployProviderPickerSheet.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployLook.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace nerim {

namespace {
QString providerBlurb(DeployProvider provider)
{
    switch (provider) {
    case DeployProvider::vercel: return QStringLiteral("Websites and front ends");
    case DeployProvider::railway: return QStringLiteral("Servers and full-stack apps");
    case DeployProvider::supabase: return QStringLiteral("Database and sign-in");
    }
    return QString();
}
} // namespace

DeployProviderPickerSheet::DeployProviderPickerSheet(const QSet<DeployProvider> &seed, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("DeployProviderPickerSheet"));
    setWindowTitle(Strings::Deploy::pickerTitle);
    setMinimumSize(460, 380);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, qColor(NmColor::paper));
    palette.setColor(QPalette::WindowText, qColor(NmColor::ink));
    setPalette(palette);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->setSpacing(10);
    auto *title = new QLabel(Strings::Deploy::pickerTitle, this);
    title->setFont(NmFont::title());
    auto *subtitle = new QLabel(Strings::Deploy::pickerSubtitle, this);
    subtitle->setFont(NmFont::body());
    subtitle->setWordWrap(true);
    layout->addWidget(title);
    layout->addWidget(subtitle);
    layout->addSpacing(8);
    for (DeployProvider provider : DeployProvider::deployOrder({DeployProvider::vercel, DeployProvider::railway,
                                                                 DeployProvider::supabase})) {
        auto *box = new QCheckBox(provider.displayName() + QStringLiteral(" \u2014 ") + providerBlurb(provider), this);
        box->setFont(NmFont::bodyMedium());
        box->setChecked(seed.contains(provider));
        connect(box, &QCheckBox::toggled, this, &DeployProviderPickerSheet::refresh);
        m_boxes.insert(provider, box);
        layout->addWidget(box);
    }
    layout->addStretch(1);
    auto *hint = new QLabel(Strings::Deploy::pickerNeedsHost, this);
    hint->setObjectName(QStringLiteral("pickerHint"));
    hint->setFont(NmFont::caption());
    layout->addWidget(hint);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *cancel = new QPushButton(Strings::Deploy::pickerCancel, this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_commit = new QPushButton(Strings::Deploy::pickerCommit, this);
    m_commit->setDefault(true);
    m_commit->setAutoDefault(true);
    connect(m_commit, &QPushButton::clicked, this, [this] {
        if (m_committing || !DeployLook::canCommitPicker(checked()))
            return;
        m_committing = true; // a double Return commits once
        const QList<DeployProvider> ordered = DeployProvider::deployOrder(checked());
        accept();
        emit committed(ordered);
    });
    buttons->addWidget(cancel);
    buttons->addWidget(m_commit);
    layout->addLayout(buttons);
    refresh();
}

QSet<DeployProvider> DeployProviderPickerSheet::checked() const
{
    QSet<DeployProvider> result;
    for (auto it = m_boxes.begin(); it != m_boxes.end(); ++it)
        if (it.value()->isChecked())
            result.insert(it.key());
    return result;
}

void DeployProviderPickerSheet::refresh()
{
    const bool ok = DeployLook::canCommitPicker(checked());
    m_commit->setEnabled(ok);
    if (QLabel *hint = findChild<QLabel *>(QStringLiteral("pickerHint")))
        hint->setVisible(!ok);
}

QSet<DeployProvider> DeployProviderPickerSheet::seedFor(const ProjectCanvasViewModel &canvas)
{
    const QString command =
        canvas.lastAttemptedLaunchPlan() ? canvas.lastAttemptedLaunchPlan()->shellCommand : QString();
    QFile package(canvas.projectPath() + QStringLiteral("/package.json"));
    QSet<QString> dependencies;
    if (package.open(QIODevice::ReadOnly))
        dependencies = DeployContext::dependencyNamesIn(package.read(4 << 20));
    return DeployLook::pickerSeed(command, dependencies);
}

} // namespace nerim
