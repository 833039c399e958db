// The installation's message-security key: the secret that signs browse requests for media agents and
// keys the cipher of password fields. It lives in the registry ([MessageSecurity] sMessageSigningKey);
// the host (or a test) may set one for the whole process instead. Any thread.
#pragma once

#include <cstddef>
#include <string>

constexpr const char* kMsgSecurityKeySection = "MessageSecurity";
constexpr const char* kMsgSecurityKeyName = "sMessageSigningKey";
constexpr size_t kMsgSecurityKeyMinBytes = 16;

// The process's key when one is set, else the registry's. False when neither holds a key of at least
// kMsgSecurityKeyMinBytes bytes (logged unless `quiet`).
bool msgSecurityKey(std::string& key, bool quiet = false);
// A process-wide key that takes the place of the registry's; empty goes back to the registry.
void msgSetSecurityKey(const std::string& key);
