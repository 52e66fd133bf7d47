#include "platform/SecretStore.h"

#include "platform/LibsecretStore.h"

namespace nerim::platform {

QString SecretStore::statusName(Status status)
{
    switch (status) {
    case Status::success: return QStringLiteral("success");
    case Status::itemNotFound: return QStringLiteral("itemNotFound");
    case Status::duplicateItem: return QStringLiteral("duplicateItem");
    case Status::serviceUnavailable: return QStringLiteral("serviceUnavailable");
    case Status::failure: return QStringLiteral("failure");
    }
    return QStringLiteral("failure");
}

std::shared_ptr<SecretStore> SecretStore::system()
{
    static const std::shared_ptr<SecretStore> store = std::make_shared<LibsecretStore>();
    return store;
}

} // namespace nerim::platform
