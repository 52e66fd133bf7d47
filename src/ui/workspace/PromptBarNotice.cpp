#include "ui/workspace/PromptBarNotice.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/design/widgets/NmText.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QtMath>

namespace nerim {

namespace {

QLabel *warningSign(QWidget *parent)
{
    auto *sign = new QLabel(parent);
    const qreal side = NmIcons::boxSide(11);
    sign->setPixmap(NmIcons::icon(u"exclamationmark.triangle", NmSymbolWeight::regular, 11, qColor(NmColor::danger))
                        .pixmap(QSize(qCeil(side), qCeil(side))));
    sign->setFixedSize(qCeil(side), qCeil(side));
    return sign;
}

} // namespace

PromptBarNotice::PromptBarNotice(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("promptBarNotice"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(10);
    row->addWidget(warningSign(this), 0, Qt::AlignVCenter);

    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("noticeText"));
    m_text->setFont(NmFont::caption());
    m_text->setWordWrap(true);
    QPalette textPalette = m_text->palette();
    textPalette.setColor(QPalette::WindowText, qColor(NmColor::ink));
    m_text->setPalette(textPalette);
    row->addWidget(m_text, 1, Qt::AlignVCenter);

    m_openSettings = new QPushButton(Strings::PromptBar::openSettings, this);
    m_openSettings->setObjectName(QStringLiteral("openSettingsButton"));
    m_openSettings->setFlat(true);
    m_openSettings->setCursor(Qt::PointingHandCursor);
    QFont buttonFont = NmFont::caption();
    buttonFont.setWeight(QFont::Medium);
    m_openSettings->setFont(buttonFont);
    m_openSettings->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; color: %1; background: transparent; }")
                                      .arg(qColor(NmColor::accent).name()));
    NmText::setPlainToolTip(m_openSettings, Strings::PromptBar::openSettingsHelp);
    connect(m_openSettings, &QPushButton::clicked, this, [this] { emit openSettingsRequested(m_notice.denied); });
    row->addWidget(m_openSettings, 0, Qt::AlignVCenter);

    m_dismiss = new QToolButton(this);
    m_dismiss->setObjectName(QStringLiteral("dismissButton"));
    m_dismiss->setAutoRaise(true);
    m_dismiss->setCursor(Qt::PointingHandCursor);
    m_dismiss->setFixedSize(18, 18);
    m_dismiss->setIcon(NmIcons::icon(u"xmark", NmSymbolWeight::medium, 9, qColor(NmColor::inkSecondary)));
    m_dismiss->setIconSize(QSize(qCeil(NmIcons::boxSide(9)), qCeil(NmIcons::boxSide(9))));
    m_dismiss->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    NmText::setPlainToolTip(m_dismiss, Strings::PromptBar::dismiss);
    connect(m_dismiss, &QToolButton::clicked, this, &PromptBarNotice::dismissRequested);
    row->addWidget(m_dismiss, 0, Qt::AlignVCenter);
}

void PromptBarNotice::setNotice(const PromptBarLook::Notice &notice)
{
    m_notice = notice;
    // A voice error's message comes from outside (a server's reply, say):
    // shown literally, never as markup.
    NmText::setPlainText(m_text, notice.text);
    m_openSettings->setVisible(notice.kind == PromptBarLook::Notice::Kind::permission);
}

void PromptBarNotice::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    NmPainter::fill(painter, NmShape::roundedRect(8), QRectF(rect()), qColor(NmColor::danger, 0.08));
}

} // namespace nerim
