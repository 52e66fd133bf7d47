#include "ui/design/MotionPreferences.h"

#include "platform/DesktopAnimationSetting.h"

#include <QCoreApplication>

namespace nerim {

MotionPreferences &MotionPreferences::shared()
{
    static QPointer<MotionPreferences> instance;
    if (!instance) {
        const std::optional<bool> override = environmentOverride();
        instance = new MotionPreferences(override, QCoreApplication::instance());
        if (!override) {
            auto *desktop = new DesktopAnimationSetting(instance);
            instance->followDesktop(desktop);
            desktop->start();
        }
    }
    return *instance;
}

MotionPreferences::MotionPreferences(std::optional<bool> environmentOverride, QObject *parent)
    : QObject(parent)
{
    if (environmentOverride) {
        m_reduceMotion = *environmentOverride;
        m_decided = true;
    }
}

void MotionPreferences::setReduceMotion(bool reduce)
{
    m_decided = true;
    apply(reduce);
}

void MotionPreferences::followDesktop(DesktopAnimationSetting *desktop)
{
    if (m_decided || !desktop)
        return;
    m_desktop = desktop;
    connect(desktop, &DesktopAnimationSetting::animationsEnabledChanged, this, [this](bool enabled) {
        if (!m_decided)
            apply(!enabled);
    });
    if (const auto enabled = desktop->animationsEnabled())
        apply(!*enabled);
}

std::optional<bool> MotionPreferences::environmentOverride()
{
    return parseOverride(qgetenv("NERIM_REDUCE_MOTION"));
}

std::optional<bool> MotionPreferences::parseOverride(const QByteArray &value)
{
    const QByteArray trimmed = value.trimmed();
    if (trimmed == "1")
        return true;
    if (trimmed == "0")
        return false;
    return std::nullopt;
}

void MotionPreferences::apply(bool reduce)
{
    if (m_reduceMotion == reduce)
        return;
    m_reduceMotion = reduce;
    emit reduceMotionChanged(reduce);
}

} // namespace nerim
