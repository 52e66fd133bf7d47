#pragma once

#include "voice/VoiceState.h"

#include <QString>
#include <QWidget>

namespace nerim {

// The floating pill that says what voice input is doing ("Listening…" and
// so on). It is shown only while voice input is busy: it comes in and goes
// out with a fade and a slight scale (a plain fade under Reduce Motion), and
// takes no space while hidden. Not interactive.
class VoiceStatusIndicator : public QWidget {
    Q_OBJECT
public:
    explicit VoiceStatusIndicator(QWidget *parent = nullptr);

    void setState(const VoiceState &state);
    const QString &label() const { return m_label; }
    // Whether the pill is (or is becoming) visible.
    bool isShowing() const { return m_showing; }

    // Room around the capsule for its shadow.
    static QMargins shadowMargins();
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_label;
    bool m_showing = false;
};

} // namespace nerim
