#pragma once

#include <QPushButton>

namespace nerim {

// A push button in the design's own face: its title in bodyMedium on a
// capsule, with room around the capsule for the accent focus ring. Three
// roles: `prominent` (the accent fill, for the one main action), `bordered`
// (paper with a hairline, for the others) and `destructive` (the danger
// colour on a faint danger fill). Hover and press darken the fill a little; a
// disabled button is drawn faded. Only the keyboard gives it focus (a click
// does not), so the ring shows where Tab has gone.
class NmCapsuleButton : public QPushButton {
    Q_OBJECT
public:
    enum class Role { prominent, bordered, destructive };

    explicit NmCapsuleButton(const QString &text, Role role = Role::bordered, QWidget *parent = nullptr);

    Role role() const { return m_role; }
    void setRole(Role role);

    // The room left around the capsule for the focus ring, on every side.
    static constexpr int kRingRoom = 3;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    Role m_role;
    bool m_hovered = false;
};

} // namespace nerim
