#include "ui/settings/DialogStyle.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"

#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace nerim {

namespace DialogStyle {

QMessageBox *warningBox(QWidget *parent, const QString &title, const QString &message)
{
    auto *box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(title);
    box->setText(title);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(message);
    if (auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    return box;
}

namespace {

// A message box's text column: wide enough for the longest title and two or
// three lines of message.
constexpr int kMessageWidth = 400;

} // namespace

void apply(QWidget *dialog)
{
    if (!dialog)
        return;
    dialog->setFont(NmFont::body());
    QPalette palette = dialog->palette();
    const QColor ink = qColor(NmColor::ink);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, qColor(NmColor::paperBright));
        palette.setColor(group, QPalette::WindowText, ink);
        palette.setColor(group, QPalette::Text, ink);
        palette.setColor(group, QPalette::ButtonText, ink);
        palette.setColor(group, QPalette::Base, qColor(NmColor::paper));
        palette.setColor(group, QPalette::AlternateBase, qColor(NmColor::paperShade));
        palette.setColor(group, QPalette::Button, qColor(NmColor::paperShade));
        palette.setColor(group, QPalette::Highlight, qColor(NmColor::accent));
        palette.setColor(group, QPalette::HighlightedText, qColor(NmColor::paperBright));
        palette.setColor(group, QPalette::PlaceholderText, qColor(NmColor::inkSecondary));
        palette.setColor(group, QPalette::Mid, qColor(NmColor::hairline));
    }
    palette.setColor(QPalette::Disabled, QPalette::WindowText, qColor(NmColor::inkTertiary));
    palette.setColor(QPalette::Disabled, QPalette::Text, qColor(NmColor::inkTertiary));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, qColor(NmColor::inkTertiary));
    palette.setColor(QPalette::Disabled, QPalette::Window, qColor(NmColor::paperBright));
    dialog->setPalette(palette);
    dialog->setAutoFillBackground(true);

    if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
        if (auto *title = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
            title->setFont(NmFont::subtitle());
            title->setMinimumWidth(kMessageWidth);
        }
        if (auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
            informative->setMinimumWidth(kMessageWidth);
            informative->setWordWrap(true);
        }
    }
}

void centreOver(QWidget *window, const QWidget *over)
{
    if (!window || !over)
        return;
    const QWidget *host = over->window();
    const QRect frame = host->frameGeometry().isValid() ? host->frameGeometry() : host->geometry();
    QRect placed(QPoint(0, 0), window->size());
    placed.moveCenter(frame.center());
    if (QScreen *screen = host->screen()) {
        const QRect available = screen->availableGeometry();
        placed.moveLeft(std::clamp(placed.left(), available.left(), std::max(available.left(), available.right() - placed.width())));
        placed.moveTop(std::clamp(placed.top(), available.top(), std::max(available.top(), available.bottom() - placed.height())));
    }
    window->move(placed.topLeft());
}

} // namespace DialogStyle

} // namespace nerim
