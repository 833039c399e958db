// I2::SecuredMessageHandler: signs browse requests for media agents and checks them on arrival. The
// sender encodes the request's system attributes (the client it is for, the time, and a digest of the
// request parts a secured request carries) and signs that text with HMAC-SHA256; the receiver checks
// the signature, the client and the digest. One handler per request, on the caller's thread; the key
// setting may be changed from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/msg/msg_classes.h"

namespace I2 {

// Results of the receiving checks (0 is success).
enum SecuredMessageCheck : int {
    SECURED_OK = 0,
    SECURED_NO_KEY = 1,           // no signing key is configured
    SECURED_BAD_SIGNATURE = 2,    // the signature does not match the encoded attributes
    SECURED_BAD_ATTRIBUTES = 3,   // the encoded attributes are missing or do not read
    SECURED_WRONG_CLIENT = 4,     // the attributes are for another client
    SECURED_DIGEST_MISMATCH = 5,  // the request parts are not the ones that were signed
    SECURED_NO_PAYLOAD = 6,       // a secured request without payload, attributes or signature
};

class SecuredMessageHandler {
public:
    // Where the key lives in the registry: section and value name. The value is the key text
    // (at least kMinKeyBytes bytes).
    static constexpr const char* kKeySection = "MessageSecurity";
    static constexpr const char* kKeyName = "sMessageSigningKey";
    static constexpr size_t kMinKeyBytes = 16;

    SecuredMessageHandler();
    ~SecuredMessageHandler();
    SecuredMessageHandler(const SecuredMessageHandler&) = delete;
    SecuredMessageHandler& operator=(const SecuredMessageHandler&) = delete;

    // The encoded system attributes of `request` for `clientName` (the XML text of a
    // databrowse::SystemAttributes); empty when the request is null or cannot be encoded.
    std::string encodeSystemAttributes(databrowse::BrowseRequest* request, std::string& clientName);
    // Hex HMAC-SHA256 of `encoded` under the configured key. False when there is no usable key or
    // nothing to sign.
    bool generateSignature(std::string& encoded, std::string& signature);

    // The receiving side.
    bool verifySignature(const std::string& encoded, const std::string& signature);
    // Checks signature, client (an empty `expectedClient` accepts any) and the digest of `request`'s
    // signed parts. The attributes read are kept in systemAttributes().
    int checkSystemAttributes(const std::string& encoded, const std::string& signature,
                              const databrowse::BrowseRequest& request, const std::string& expectedClient);
    // Rebuilds the request a secured request carries (session and payload parts) into `out` and
    // checks it as above.
    int openSecuredBrowseRequest(databrowse::SecuredBrowseRequest& secured, databrowse::BrowseRequest& out,
                                 const std::string& expectedClient);

    // The attributes last encoded or checked (nullptr before).
    const databrowse::SystemAttributes* systemAttributes() const { return m_attributes.get(); }

    // A process-wide key that takes the place of the registry's (for the host and tests); an empty
    // key goes back to the registry.
    static void setSigningKey(const std::string& key);

private:
    std::unique_ptr<databrowse::SystemAttributes> m_attributes;
};

}  // namespace I2
