#pragma once

#include "ui/design/MotionPreferences.h"

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

namespace nerim::test {

// Every widget test says whether motion is reduced; the desktop is never asked.
class DesignWidgetTest : public ::testing::Test {
protected:
    void reduceMotion(bool reduce) { MotionPreferences::shared().setReduceMotion(reduce); }
    void SetUp() override { reduceMotion(false); }

    // Shows `widget` off-screen at `size` and lets layouts settle.
    static void showOffscreen(QWidget *widget, QSize size)
    {
        widget->setAttribute(Qt::WA_DontShowOnScreen);
        widget->resize(size);
        widget->show();
        QApplication::processEvents();
        QApplication::processEvents();
    }
};

// The largest difference of the three channels.
inline int channelDistance(QColor a, QColor b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

// `top` at `alpha` over opaque `bottom`.
inline QColor over(QColor top, double alpha, QColor bottom)
{
    auto mix = [alpha](int t, int b) { return int(std::lround(t * alpha + b * (1.0 - alpha))); };
    return QColor(mix(top.red(), bottom.red()), mix(top.green(), bottom.green()), mix(top.blue(), bottom.blue()));
}

} // namespace nerim::test
