#pragma once

#include "ui/design/widgets/NmLoadingHint.h"

#include <QString>
#include <QWidget>

namespace nerim {

// The brand mark of the first-run screens and the loading hints: "Nerim" in
// the display type (welcome) or the two-letter "Nm" (monogram), in ink. On
// its first show it settles in from transparent with the standard spring, or
// at once under Reduce Motion. It has no callbacks.
class OnboardingWordmark : public QWidget {
    Q_OBJECT
public:
    using Mode = NmWordmarkMode;

    // The monogram's type size, in points.
    static constexpr double monogramSize = 30;

    explicit OnboardingWordmark(Mode mode, QWidget *parent = nullptr);

    Mode mode() const { return m_mode; }
    QString text() const;
    // Set on the first show; the mark then runs (or jumps) to full opacity.
    bool settled() const { return m_settled; }
    // The opacity the mark is drawn with now.
    double opacity() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // Makes this the mark the loading hints show.
    static void installAsLoadingHintMark();

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QFont markFont() const;

    Mode m_mode;
    bool m_settled = false;
};

} // namespace nerim
