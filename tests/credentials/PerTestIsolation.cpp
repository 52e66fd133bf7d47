// Every test of this program starts from the same place, whatever ran before
// it in the process and in whichever order (--gtest_shuffle): a data folder of
// its own (api-keys.json and the rest live there) and no own key from the
// process-wide key cache, which is read once per process from whatever file
// existed at that moment.
#include "TestEnvironment.h"
#include "credentials/CredentialTestSeams.h"

#include <gtest/gtest.h>

namespace {

class PerTestIsolation : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override
    {
        qputenv("XDG_DATA_HOME", nerim::test::makeTempDir(QStringLiteral("data-home")).toUtf8());
        nerim::credentials_testing::setCachedAnthropicKey(QString());
        nerim::credentials_testing::setSecretStore(nullptr);
        nerim::credentials_testing::setPublicAnthropicBase(QString());
        qunsetenv("NERIM_PROXY_BASE");
    }
};

// Registered before main runs; GoogleTest owns the listener from then on.
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new PerTestIsolation);
    return true;
}();

} // namespace
