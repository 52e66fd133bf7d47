#pragma once

#include <QProxyStyle>

namespace nerim {

// The desktop's widget style, with the standard icons Qt would read from
// image files drawn here instead: the menu bar makes its overflow button's
// icon when it is built, and reading Qt's file for it loads every image
// format plugin. The window's menu bar is drawn here too, in the design's
// colours (a style sheet would bring Qt's whole style-sheet machinery into
// every start, for one bar). Installed by `main` before the window is made.
class ApplicationStyle : public QProxyStyle {
    Q_OBJECT
public:
    ApplicationStyle();

    QIcon standardIcon(StandardPixmap standardIcon, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;

    int pixelMetric(PixelMetric metric, const QStyleOption *option = nullptr,
                    const QWidget *widget = nullptr) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &contentsSize,
                           const QWidget *widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget = nullptr) const override;

    // The overflow button's icon: two chevrons pointing right (a horizontal
    // bar's) or down (a vertical one's), in the design's secondary ink.
    static QIcon extensionIcon(Qt::Orientation orientation);
};

} // namespace nerim
