// The second yardstick of the start benchmark: a window of Nerim's size that
// draws the texts the projects overview shows (its title, subtitle, and three
// cards' names, paths and footers) in the overview's faces and sizes, with
// Inter registered as Nerim registers it, built in the same tree with the
// same options. What Nerim spends beyond it is the price of its own screens,
// not of text. It stays open until it is ended; the benchmark's probe reports
// its first paint.
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/InterFontRegistry.h"
#include "ui/design/Strings.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QWidget>

class TextWindow : public QWidget {
    Q_OBJECT
protected:
    void paintEvent(QPaintEvent *) override
    {
        using namespace nerim;
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0xf4, 0xf1, 0xea));
        painter.setPen(qColor(NmColor::ink));
        // The overview tracks its title by -0.015 of its size.
        painter.setFont(Font::tracked(NmFont::largeTitle(), -0.015 * NmFont::largeTitle().pointSizeF()));
        painter.drawText(QPointF(48, 80), Strings::Overview::title);
        painter.setPen(qColor(NmColor::inkSecondary));
        painter.setFont(NmFont::subtitle());
        painter.drawText(QPointF(48, 110), QStringLiteral("3") + Strings::Overview::subtitleManySuffix);
        const QStringList names{QStringLiteral("Recipes"), QStringLiteral("Book Club"), QStringLiteral("Invoices")};
        for (int i = 0; i < names.size(); ++i) {
            const QPointF card(48 + i * 240, 150);
            painter.setPen(qColor(NmColor::ink));
            painter.setFont(NmFont::bodyMedium());
            painter.drawText(card + QPointF(16, 28), names[i]);
            painter.setPen(qColor(NmColor::inkSecondary));
            painter.setFont(NmFont::monoSmall());
            painter.drawText(card + QPointF(16, 52), QDir::homePath() + QLatin1Char('/') + names[i]);
            painter.setFont(NmFont::caption());
            painter.drawText(card + QPointF(16, 124), QStringLiteral("Opened just now"));
        }
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    nerim::InterFontRegistry::shared();
    TextWindow window;
    window.resize(NERIM_WINDOW_WIDTH, NERIM_WINDOW_HEIGHT);
    window.show();
    return QApplication::exec();
}

#include "TextWindow.moc"
