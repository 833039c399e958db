// How password fields travel inside message XML: AES-256-GCM under a key derived from the
// installation's message-security key (msg_security_key.h), a fresh random IV for every value, the
// tag authenticating the ciphertext. Equal passwords look different on the wire, a changed text is
// refused, and only holders of the installation's key read them. With no key configured, a key made
// for this process alone is used (logged once): values then decipher only in the process that wrote
// them. Any thread.
#pragma once

#include <string>
#include <string_view>

// Hex text of IV, ciphertext and tag; empty on an OpenSSL failure.
std::string msgEncipherSecret(std::string_view plain);
// False when the text is not one msgEncipherSecret wrote under this installation's key (bad hex, too
// short, tampered, or another key).
bool msgDecipherSecret(std::string_view hex, std::string& plain);
// A process that only relays messages between the Hubmaster and its machines without holding the
// installation's key (a console away from the Hubmaster) keeps each password field it cannot read as
// sealed ciphertext and writes it back unchanged, instead of refusing the message. Off by default.
void msgSetRelaySealedSecrets(bool relay);
bool msgRelaySealedSecrets();
