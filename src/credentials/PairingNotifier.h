#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace nerim {

// The application-wide place where the outcome of a pairing link is
// announced. Each signal carries the notification's user info:
//   sessionTokenPaired: {"balance": the balance (qint64)}, or {"balance": null}
//                       (a null QVariant) when the link's token was already stored;
//   pairingFailed:      {"message": the sentence for the user}.
// Lives on the GUI thread; signals are emitted there.
class PairingNotifier : public QObject {
    Q_OBJECT
public:
    static inline const QString sessionTokenPairedName = QStringLiteral("NerimSessionTokenPaired");
    static inline const QString pairingFailedName = QStringLiteral("NerimPairingFailed");

    static PairingNotifier &shared();

    void postPaired(std::optional<qint64> balance);
    void postFailure(const QString &message);

signals:
    void sessionTokenPaired(const QVariantMap &userInfo);
    void pairingFailed(const QVariantMap &userInfo);
    // Every notification, by its name.
    void posted(const QString &name, const QVariantMap &userInfo);
};

} // namespace nerim
