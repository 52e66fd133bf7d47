#pragma once

#include "FakeSecretStore.h"
#include "credentials/CredentialTestSeams.h"

#include <gtest/gtest.h>
#include <memory>

namespace nerim::test {

// Installs an in-memory keyring and no own key; NERIM_PROXY_BASE unset.
class CredentialsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        keyring = std::make_shared<FakeSecretStore>();
        credentials_testing::setSecretStore(keyring);
        credentials_testing::setCachedAnthropicKey(QString());
        qunsetenv("NERIM_PROXY_BASE");
    }
    void TearDown() override
    {
        credentials_testing::setSecretStore(nullptr);
        credentials_testing::setCachedAnthropicKey(std::nullopt);
        credentials_testing::setPublicAnthropicBase(QString());
        qunsetenv("NERIM_PROXY_BASE");
    }

    std::shared_ptr<FakeSecretStore> keyring;
};

} // namespace nerim::test
