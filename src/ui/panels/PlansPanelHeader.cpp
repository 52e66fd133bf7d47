#include "ui/panels/PlansPanelHeader.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PanelWidgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace nerim {

PlansPanelHeader::PlansPanelHeader(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("plansHeader"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(8);
    auto *title = new QHBoxLayout;
    title->setSpacing(6);
    title->addWidget(symbolLabel(QStringLiteral("list.bullet.rectangle"), 11, NmSymbolWeight::regular,
                                 qColor(NmColor::accent), this));
    const QFont micro = Font::tracked(NmFont::micro(), 0.08);
    title->addWidget(plainLabel(Strings::PlansPanel::title.toUpper(), micro, qColor(NmColor::accent), this));
    m_generatingDot = new QLabel(this);
    m_generatingDot->setObjectName(QStringLiteral("generatingDot"));
    {
        QPixmap dot(18, 10);
        dot.setDevicePixelRatio(2);
        dot.fill(Qt::transparent);
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(qColor(NmColor::accent, 0.85));
        painter.drawEllipse(QRectF(4, 0, 5, 5).translated(0, 0));
        m_generatingDot->setPixmap(dot);
    }
    title->addWidget(m_generatingDot);
    row->addLayout(title);
    row->addStretch(1);

    const QColor iconColor = PlansPanelColor::textSecondary();
    m_organizeSlot = new QWidget(this);
    m_organizeSlot->setFixedSize(20, 20);
    m_organize = new PanelIconButton(QStringLiteral("folder.badge.gearshape"), 10, NmSymbolWeight::medium, iconColor,
                                     20, m_organizeSlot);
    m_organize->setObjectName(QStringLiteral("organizeButton"));
    m_organizeSpinner = new NmActivitySpinner(m_organizeSlot);
    m_organizeSpinner->setObjectName(QStringLiteral("organizeSpinner"));
    m_organizeSpinner->setColor(iconColor);
    m_organizeSpinner->setDiameter(11);
    m_organizeSpinner->setGeometry(0, 0, 20, 20);
    m_organizeSpinner->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_organize, &QAbstractButton::clicked, this, &PlansPanelHeader::organizeClicked);
    m_startOver = new PanelIconButton(QStringLiteral("arrow.clockwise"), 10, NmSymbolWeight::medium, iconColor, 20,
                                      this);
    m_startOver->setObjectName(QStringLiteral("startOverButton"));
    connect(m_startOver, &QAbstractButton::clicked, this, &PlansPanelHeader::startOverClicked);
    m_expand = new PanelIconButton(QString(), 10, NmSymbolWeight::medium, iconColor, 20, this);
    m_expand->setObjectName(QStringLiteral("expandButton"));
    connect(m_expand, &QAbstractButton::clicked, this, &PlansPanelHeader::expandClicked);
    m_close = new PanelIconButton(QStringLiteral("xmark"), 9, NmSymbolWeight::medium, iconColor, 20, this);
    m_close->setObjectName(QStringLiteral("closeButton"));
    connect(m_close, &QAbstractButton::clicked, this, &PlansPanelHeader::closeClicked);
    row->addWidget(m_organizeSlot);
    row->addWidget(m_startOver);
    row->addWidget(m_expand);
    row->addWidget(m_close);
}

void PlansPanelHeader::showLook(const PlansPanelLook::Header &header)
{
    m_generatingDot->setVisible(header.showsGeneratingDot);
    m_organizeSlot->setVisible(header.organize.present);
    m_organize->setEnabled(header.organize.enabled);
    m_organize->setVisible(!header.organizeSpins);
    m_organizeSpinner->setVisible(header.organizeSpins);
    NmText::setPlainToolTip(m_organize, header.organize.help);
    NmText::setPlainToolTip(m_organizeSlot, header.organize.help);
    m_startOver->setVisible(header.startOver.present);
    m_startOver->setEnabled(header.startOver.enabled);
    NmText::setPlainToolTip(m_startOver, header.startOver.help);
    m_expand->setSymbol(header.expand.symbol);
    NmText::setPlainToolTip(m_expand, header.expand.help);
    NmText::setPlainToolTip(m_close, header.close.help);
}

} // namespace nerim
