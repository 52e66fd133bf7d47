#include "ui/panels/PlanWorkspaceFiles.h"

#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PlansPanelLook.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace nerim {

// ---- PlanFileChips -----------------------------------------------------------------------

PlanFileChips::PlanFileChips(QWidget *parent)
    : QScrollArea(parent)
{
    auto *chips = new QWidget;
    chips->setObjectName(QStringLiteral("fileChips"));
    m_layout = new QHBoxLayout(chips);
    m_layout->setContentsMargins(14, 8, 14, 8);
    m_layout->setSpacing(6);
    makeDarkScrollArea(this, chips, Qt::Horizontal);
    setFixedHeight(chips->sizeHint().height() + 22);
}

void PlanFileChips::setFiles(const QList<PlansWorkspaceStore::File> &files)
{
    while (QLayoutItem *item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const PlansWorkspaceStore::File &file : files) {
        CapsuleButton::Look look;
        look.font = NmFont::caption();
        look.text = PlansPanelColor::textSecondary();
        look.fill = QColor::fromRgbF(1, 1, 1, 0.06f);
        look.stroke = PlansPanelColor::hairline();
        look.symbol = PlansPanelLook::chipSymbol(file.filename);
        look.symbolSize = 9;
        look.paddingX = 8;
        look.paddingY = 4;
        auto *chip = new CapsuleButton(PlansPanelLook::displayName(file.filename), look);
        chip->setObjectName(QStringLiteral("fileChip"));
        chip->setProperty("filename", file.filename);
        NmText::setPlainToolTip(chip, Strings::PlansPanel::openFileHelpPrefix + file.filename);
        const QString filename = file.filename;
        connect(chip, &QAbstractButton::clicked, this, [this, filename] { emit fileChosen(filename); });
        m_layout->addWidget(chip);
    }
    m_layout->addStretch(1);
}

// ---- PlanFilePage ------------------------------------------------------------------------

PlanFilePage::PlanFilePage(LinkOpener opener, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("openFileBranch"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *header = new QHBoxLayout;
    header->setContentsMargins(14, 10, 14, 10);
    header->setSpacing(8);
    CapsuleButton::Look backLook;
    backLook.font = NmFont::caption();
    backLook.text = PlansPanelColor::textSecondary();
    backLook.fill = Qt::transparent;
    backLook.stroke = Qt::transparent;
    backLook.symbol = QStringLiteral("chevron.left");
    backLook.symbolWeight = NmSymbolWeight::semibold;
    backLook.paddingX = 0;
    backLook.paddingY = 2;
    auto *back = new CapsuleButton(Strings::PlansPanel::back, backLook, this);
    back->setObjectName(QStringLiteral("backButton"));
    connect(back, &QAbstractButton::clicked, this, &PlanFilePage::backClicked);
    header->addWidget(back);
    header->addStretch(1);
    m_name = new MiddleElidedLabel(NmFont::caption(), PlansPanelColor::textTertiary(), this);
    m_name->setObjectName(QStringLiteral("openFileName"));
    header->addWidget(m_name, 0);
    column->addLayout(header);
    column->addWidget(panelDivider(PlansPanelColor::fill(), this));
    auto *content = new QWidget;
    auto *padded = new QVBoxLayout(content);
    padded->setContentsMargins(14, 12, 14, 12);
    m_text = new PlanMarkdownView(PlansPanelColor::textSecondary(), std::move(opener), content);
    m_text->setObjectName(QStringLiteral("openFileText"));
    padded->addWidget(m_text);
    padded->addStretch(1);
    column->addWidget(darkScrollArea(content, Qt::Vertical, this), 1);
}

void PlanFilePage::showFile(const QString &name, const QString &text)
{
    m_name->setText(name);
    m_text->setContent(text);
}

void PlanFilePage::setLinkOpener(LinkOpener opener)
{
    auto *replacement = new PlanMarkdownView(PlansPanelColor::textSecondary(), std::move(opener), m_text->parentWidget());
    replacement->setObjectName(m_text->objectName());
    m_text->parentWidget()->layout()->replaceWidget(m_text, replacement);
    delete m_text;
    m_text = replacement;
}

} // namespace nerim
