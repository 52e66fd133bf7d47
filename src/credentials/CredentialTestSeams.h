#pragma once

#include "platform/SecretStore.h"

#include <QString>
#include <memory>
#include <optional>

// Replacements used by tests only; the application never calls these.
namespace nerim::credentials_testing {

// The keyring the credential helpers use (nullptr restores the system keyring).
void setSecretStore(std::shared_ptr<platform::SecretStore> store);
std::shared_ptr<platform::SecretStore> secretStore();

// Stands in for the cached own Anthropic key (nullopt restores the cache).
void setCachedAnthropicKey(std::optional<QString> key);

// Replaces the origin of the public Anthropic endpoint ("https://api.anthropic.com")
// used by the request builder and the key validator; empty restores it.
void setPublicAnthropicBase(const QString &base);

} // namespace nerim::credentials_testing
