#include "credentials/PairingNotifier.h"

namespace nerim {

PairingNotifier &PairingNotifier::shared()
{
    static PairingNotifier notifier;
    return notifier;
}

void PairingNotifier::postPaired(std::optional<qint64> balance)
{
    QVariantMap userInfo;
    userInfo.insert(QStringLiteral("balance"), balance ? QVariant(*balance) : QVariant::fromValue(nullptr));
    emit sessionTokenPaired(userInfo);
    emit posted(sessionTokenPairedName, userInfo);
}

void PairingNotifier::postFailure(const QString &message)
{
    QVariantMap userInfo;
    userInfo.insert(QStringLiteral("message"), message);
    emit pairingFailed(userInfo);
    emit posted(pairingFailedName, userInfo);
}

} // namespace nerim
