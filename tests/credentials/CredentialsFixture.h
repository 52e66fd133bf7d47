#pragma once

#include "FakeSecretStore.h"
#include "TestAsync.h"
#include "credentials/CredentialTestSeams.h"
#include "credentials/Credentials.h"

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
        // Keyring calls still queued by this test finish against its own
        // keyring (the calls run one at a time, so this one comes last).
        {
            QMutexLocker lock(&keyring->mutex);
            keyring->failRead.reset();
            keyring->failReadsAfter.reset();
        }
        keyring->releaseReads();
        test::await(lookUpSessionTokenAsync());
        credentials_testing::setSecretStore(nullptr);
        credentials_testing::setCachedAnthropicKey(std::nullopt);
        credentials_testing::setPublicAnthropicBase(QString());
        qunsetenv("NERIM_PROXY_BASE");
    }

    std::shared_ptr<FakeSecretStore> keyring;
};

} // namespace nerim::test
