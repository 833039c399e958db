// I2::SecuredMessageHandler: signs browse requests for media agents and checks them on arrival. The
// sender encodes the request's system attributes (the client it is for, the creation time, and one
// digest of the request's session block and of the payload a secured request carries) and signs that
// text with HMAC-SHA256 under the installation's message-security key; the receiver checks the
// signature, the age, the client and the digest of exactly the session and payload it will use. One
// handler per request, on the caller's thread; the key setting may be changed from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_security_key.h"
#include "platform/threads/hubclock.h"

namespace I2 {

// Results of the receiving checks (0 is success).
enum SecuredMessageCheck : int {
    SECURED_OK = 0,
    SECURED_NO_KEY = 1,           // no signing key is configured
    SECURED_BAD_SIGNATURE = 2,    // the signature does not match the encoded attributes
    SECURED_BAD_ATTRIBUTES = 3,   // the encoded attributes are missing or do not read
    SECURED_WRONG_CLIENT = 4,     // the attributes are for another client
    SECURED_DIGEST_MISMATCH = 5,  // the session or payload is not the one that was signed
    SECURED_NO_PAYLOAD = 6,       // a secured request without payload, attributes or signature
    SECURED_STALE = 7,            // created longer ago (or further ahead) than the accepted window
};

class SecuredMessageHandler {
public:
    // Where the key lives in the registry: section and value name. The value is the key text
    // (at least kMinKeyBytes bytes).
    static constexpr const char* kKeySection = kMsgSecurityKeySection;
    static constexpr const char* kKeyName = kMsgSecurityKeyName;
    static constexpr size_t kMinKeyBytes = kMsgSecurityKeyMinBytes;
    // How old (in seconds, either way, for clock skew) a signed request may be when it is opened:
    // the registry value in the key's section, else the default.
    static constexpr const char* kMaxAgeName = "nSignedRequestMaxAgeSeconds";
    static constexpr unsigned int kDefaultMaxAgeSeconds = 300;

    // The window in force (registry value, else the default).
    static long long maxAgeSeconds();

    // `clock` dates what this handler signs and ages what it checks; it must outlive the handler.
    explicit SecuredMessageHandler(const CHubClock& clock = CHubClock::real());
    ~SecuredMessageHandler();
    SecuredMessageHandler(const SecuredMessageHandler&) = delete;
    SecuredMessageHandler& operator=(const SecuredMessageHandler&) = delete;

    // The encoded system attributes of `request` for `clientName` (the XML text of a
    // databrowse::SystemAttributes); empty when the request is null or cannot be encoded. The digest
    // covers the request's session block and the payload made of the request's parts (what
    // copyFieldsByCode puts into a databrowse::Msg238), so the caller builds the secured request
    // from this same request.
    std::string encodeSystemAttributes(databrowse::BrowseRequest* request, std::string& clientName);
    // Hex HMAC-SHA256 of `encoded` under the configured key. False when there is no usable key or
    // nothing to sign.
    bool generateSignature(std::string& encoded, std::string& signature);

    // The receiving side.
    bool verifySignature(const std::string& encoded, const std::string& signature);
    // Checks signature, age, client (an empty `expectedClient` accepts any) and the digest of
    // `session` (null: none) and the whole of `payload`. The attributes read are kept in
    // systemAttributes().
    int checkSystemAttributes(const std::string& encoded, const std::string& signature,
                              const CNMessageBase* session, const CNMessageBase& payload,
                              const std::string& expectedClient);
    // Checks a secured request as above and, when it passes, rebuilds into `out` the request it
    // carries from nothing but its signed session and payload.
    int openSecuredBrowseRequest(databrowse::SecuredBrowseRequest& secured, databrowse::BrowseRequest& out,
                                 const std::string& expectedClient);

    // The whole secured form of `request` for `clientName`: session, signed attributes and payload,
    // built from this same request. False (with a log line) when it cannot be digested or signed.
    bool secureBrowseRequest(databrowse::BrowseRequest& request, const std::string& clientName,
                             databrowse::SecuredBrowseRequest& out);
    // The signed form of an indexing-v1 request: the request travels whole, and the attributes' digest
    // covers all of it (there is no session block). `requestText` (given) receives the text the request
    // was digested as when that is the one serialize() writes (it holds no password field and its fields
    // are in declared order, CNMessageBase::putInDeclaredOrder()): its log line needs no other; else
    // it is left empty.
    bool secureIndexBrowseReq(const Indexing::BrowseReq& request, const std::string& clientName,
                              Indexing::SecuredBrowseReq& out, std::string* requestText = nullptr);
    // The same, the secured request taking the request's own fields instead of a copy of them: `request`
    // is left empty when it is signed, and as it was when it is not (false).
    bool secureIndexBrowseReq(Indexing::BrowseReq&& request, const std::string& clientName,
                              Indexing::SecuredBrowseReq& out, std::string* requestText = nullptr);
    // Checks a signed indexing-v1 request as checkSystemAttributes does and, when it passes, copies the
    // request it carries into `out`.
    int openSecuredIndexBrowseReq(Indexing::SecuredBrowseReq& secured, Indexing::BrowseReq& out,
                                  const std::string& expectedClient);

    // The attributes last encoded or checked (nullptr before).
    const databrowse::SystemAttributes* systemAttributes() const { return m_attributes.get(); }

    // A process-wide key that takes the place of the registry's (for the host and tests); an empty
    // key goes back to the registry. It also keys the cipher of password fields.
    static void setSigningKey(const std::string& key);

private:
    // The encoded attributes of an indexing-v1 request and their signature (see secureIndexBrowseReq).
    bool signIndexBrowseReq(const Indexing::BrowseReq& request, const std::string& clientName,
                            std::string& encoded, std::string& signature, std::string* requestText);

    const CHubClock& m_clock;
    std::unique_ptr<databrowse::SystemAttributes> m_attributes;
};

}  // namespace I2
