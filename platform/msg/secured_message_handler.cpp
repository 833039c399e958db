#include "platform/msg/secured_message_handler.h"

#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/crypto/zycrypto.h"
#include "platform/msg/msg_field.h"
#include "platform/msg/msg_log.h"
#include "platform/msg/xml_codec.h"

namespace I2 {

namespace {

using BR = databrowse::BrowseRequest::f;
using SA = databrowse::SystemAttributes::f;
using SBR = databrowse::SecuredBrowseRequest::f;

// The text a message is digested as: its fields in its class's declared order, then the fields the
// class does not declare in their own order, so the sender's object and the receiver's (read from
// the wire, fields wherever the peer put them) digest alike unless something was changed or added.
bool digestText(const CNMessageBase& message, std::string& text, bool* wroteSecret = nullptr) {
    XMLEncoder encoder(static_cast<EncodingFlags>(XML_ENCODE_DIGEST_FORM | XML_ENCODE_DECLARED_ORDER));
    const bool written = encoder.serialize(message, text) == MSG_OK;
    if (wroteSecret) *wroteSecret = encoder.wroteSecret();
    return written;
}

// One digest (hex SHA-256) of the session block (absent: empty) and of the whole payload. `payloadText`
// (given) receives the payload's text when it holds no secret: then it is the payload as written in
// declared order.
bool securedDigest(const CNMessageBase* session, const CNMessageBase& payload, std::string& digest,
                   std::string* payloadText = nullptr) {
    std::string sessionText, written;
    bool secret = false;
    if ((session && !digestText(*session, sessionText)) || !digestText(payload, written, &secret))
        return false;
    zycrypto::Digest parts[2] = {zycrypto::sha256(sessionText), zycrypto::sha256(written)};
    zycrypto::Digest whole =
        zycrypto::sha256(std::string_view(reinterpret_cast<const char*>(parts), sizeof parts));
    digest = zycrypto::toHex(whole.data(), whole.size());
    if (payloadText && !secret) *payloadText = std::move(written);
    return true;
}

}  // namespace

long long SecuredMessageHandler::maxAgeSeconds() {
    unsigned int age = kDefaultMaxAgeSeconds;
    ZYPlatformInfo::getNumber(kKeySection, kMaxAgeName, &age);
    return age;
}

SecuredMessageHandler::SecuredMessageHandler(const CHubClock& clock) : m_clock(clock) {}
SecuredMessageHandler::~SecuredMessageHandler() = default;

void SecuredMessageHandler::setSigningKey(const std::string& key) {
    msgSetSecurityKey(key);
}

std::string SecuredMessageHandler::encodeSystemAttributes(databrowse::BrowseRequest* request,
                                                          std::string& clientName) {
    if (!request) return {};
    databrowse::Msg238 payload;
    copyFieldsByCode(*request, payload);
    std::string digest;
    if (!securedDigest(request->getObjectAccessor(BR::session, false), payload, digest)) {
        msgLog(-1, "SecuredMessageHandler: cannot digest the browse request for client [%s]",
               clientName.c_str());
        return {};
    }
    auto attributes = std::make_unique<databrowse::SystemAttributes>();
    attributes->setstring(SA::clientName, clientName);
    attributes->setint64(SA::createTime, static_cast<int64_t>(m_clock.epochSeconds()));
    attributes->setstring(SA::requestDigest, digest);
    // The parts the payload does not carry (entity, media agent, routing block, ...) travel inside the
    // signed attributes, so the receiver rebuilds the whole request from what was signed.
    databrowse::BrowseRequest parts = *request;
    parts.clearField(parts.getTagID(), BR::session.code);
    if (const MsgClassType* type = payload.classType())
        for (const MsgFieldInfo& info : type->fields()) parts.clearField(parts.getTagID(), info.code);
    attributes->setObjectAccessor(parts, SA::requestParts);
    std::string encoded;
    if (attributes->serialize(encoded) != 0) return {};
    m_attributes = std::move(attributes);
    return encoded;
}

bool SecuredMessageHandler::generateSignature(std::string& encoded, std::string& signature) {
    std::string key;
    if (encoded.empty() || !msgSecurityKey(key)) return false;
    zycrypto::Digest mac{};
    if (!zycrypto::hmacSha256(key, encoded, mac)) return false;
    signature = zycrypto::toHex(mac.data(), mac.size());
    return true;
}

bool SecuredMessageHandler::verifySignature(const std::string& encoded, const std::string& signature) {
    std::string expected;
    std::string text(encoded);
    return generateSignature(text, expected) && zycrypto::sameBytes(expected, signature);
}

int SecuredMessageHandler::checkSystemAttributes(const std::string& encoded, const std::string& signature,
                                                 const CNMessageBase* session, const CNMessageBase& payload,
                                                 const std::string& expectedClient) {
    std::string key;
    if (!msgSecurityKey(key)) return SECURED_NO_KEY;
    if (!verifySignature(encoded, signature)) {
        msgLog(-1, "SecuredMessageHandler: signature of the system attributes does not match");
        return SECURED_BAD_SIGNATURE;
    }
    auto attributes = std::make_unique<databrowse::SystemAttributes>();
    if (attributes->unserialize(encoded) != 0 || !attributes->isSet(SA::requestDigest) ||
        !attributes->isSet(SA::createTime))
        return SECURED_BAD_ATTRIBUTES;
    const long long age = m_clock.epochSeconds() - attributes->getint64(SA::createTime);
    const long long window = maxAgeSeconds();
    if (age > window || age < -window) {
        msgLog(-1, "SecuredMessageHandler: request signed %lld s %s, beyond the accepted %lld s",
               age < 0 ? -age : age, age < 0 ? "ahead" : "ago", window);
        return SECURED_STALE;
    }
    if (!expectedClient.empty() && attributes->getstring(SA::clientName) != expectedClient) {
        msgLog(-1, "SecuredMessageHandler: request signed for client [%s], not [%s]",
               attributes->getstring(SA::clientName).c_str(), expectedClient.c_str());
        return SECURED_WRONG_CLIENT;
    }
    std::string digest;
    if (!securedDigest(session, payload, digest) ||
        !zycrypto::sameBytes(digest, attributes->getstring(SA::requestDigest))) {
        msgLog(-1, "SecuredMessageHandler: the session or payload differs from the signed one");
        return SECURED_DIGEST_MISMATCH;
    }
    m_attributes = std::move(attributes);
    return SECURED_OK;
}

int SecuredMessageHandler::openSecuredBrowseRequest(databrowse::SecuredBrowseRequest& secured,
                                                    databrowse::BrowseRequest& out,
                                                    const std::string& expectedClient) {
    pstring* encoded = secured.getpstringobject(SBR::systemAttributes);
    pstring* signature = secured.getpstringobject(SBR::signature);
    CNMessageBase* payload = secured.getObjectAccessor(SBR::payload, false);
    if (!encoded || !signature || !payload) return SECURED_NO_PAYLOAD;
    CNMessageBase* session = secured.getObjectAccessor(SBR::session, false);
    int rc = checkSystemAttributes(encoded->str(), signature->str(), session, *payload, expectedClient);
    if (rc != SECURED_OK) return rc;
    // Built only from what the signature and the digest covered.
    databrowse::BrowseRequest rebuilt;
    if (const CNMessageBase* parts = m_attributes->getObjectAccessor(SA::requestParts, false))
        copyFieldsByCode(*parts, rebuilt);
    copyFieldsByCode(*payload, rebuilt);
    if (session) rebuilt.setObjectAccessor(*session, BR::session);
    out.swapContent(rebuilt);  // its fields, without a copy (a message's move is one)
    return SECURED_OK;
}

bool SecuredMessageHandler::secureBrowseRequest(databrowse::BrowseRequest& request,
                                                const std::string& clientName,
                                                databrowse::SecuredBrowseRequest& out) {
    std::string name = clientName;
    std::string encoded = encodeSystemAttributes(&request, name);
    std::string signature;
    if (encoded.empty() || !generateSignature(encoded, signature)) {
        msgLog(-1, "SecuredMessageHandler: cannot sign the browse request for client [%s]", name.c_str());
        return false;
    }
    databrowse::SecuredBrowseRequest secured;
    if (const CNMessageBase* session = request.getObjectAccessor(BR::session, false))
        secured.setObjectAccessor(*session, SBR::session);
    secured.setpstringobject(SBR::systemAttributes, bstring(encoded), 1);
    secured.setpstringobject(SBR::signature, bstring(signature), 1);
    // The payload holds exactly the parts the attributes' digest covers.
    databrowse::Msg238 payload;
    copyFieldsByCode(request, payload);
    secured.setObjectAccessor(payload, SBR::payload);
    out.swapContent(secured);  // its fields, without a copy (a message's move is one)
    return true;
}

bool SecuredMessageHandler::signIndexBrowseReq(const Indexing::BrowseReq& request,
                                               const std::string& clientName, std::string& encoded,
                                               std::string& signature, std::string* requestText) {
    std::string digest;
    auto attributes = std::make_unique<databrowse::SystemAttributes>();
    std::vector<uint32_t> reordered;
    if (requestText) requestText->clear();
    if (requestText && request.declaredFieldOrder(reordered)) requestText = nullptr;  // written otherwise
    if (securedDigest(nullptr, request, digest, requestText)) {
        attributes->setstring(SA::clientName, clientName);
        attributes->setint64(SA::createTime, static_cast<int64_t>(m_clock.epochSeconds()));
        attributes->setstring(SA::requestDigest, digest);
        if (attributes->serialize(encoded) != 0) encoded.clear();
    }
    if (encoded.empty() || !generateSignature(encoded, signature)) {
        msgLog(-1, "SecuredMessageHandler: cannot sign the index browse request for client [%s]",
               clientName.c_str());
        if (requestText) requestText->clear();
        return false;
    }
    m_attributes = std::move(attributes);
    return true;
}

bool SecuredMessageHandler::secureIndexBrowseReq(const Indexing::BrowseReq& request,
                                                 const std::string& clientName,
                                                 Indexing::SecuredBrowseReq& out, std::string* requestText) {
    using SIR = Indexing::SecuredBrowseReq::f;
    std::string encoded, signature;
    if (!signIndexBrowseReq(request, clientName, encoded, signature, requestText)) return false;
    Indexing::SecuredBrowseReq secured;
    secured.setObjectAccessor(request, SIR::request);
    secured.setpstringobject(SIR::systemAttributes, bstring(encoded), 1);
    secured.setpstringobject(SIR::signature, bstring(signature), 1);
    out.swapContent(secured);  // its fields, without a copy (a message's move is one)
    return true;
}

bool SecuredMessageHandler::secureIndexBrowseReq(Indexing::BrowseReq&& request, const std::string& clientName,
                                                 Indexing::SecuredBrowseReq& out, std::string* requestText) {
    using SIR = Indexing::SecuredBrowseReq::f;
    std::string encoded, signature;
    if (!signIndexBrowseReq(request, clientName, encoded, signature, requestText)) return false;
    Indexing::SecuredBrowseReq secured;
    CNMessageBase* carried = secured.getObjectAccessor(SIR::request, true);
    if (!carried || carried->classType() != request.classType()) return false;
    carried->swapContent(request);  // the fields signed, taken as they are
    secured.setpstringobject(SIR::systemAttributes, bstring(encoded), 1);
    secured.setpstringobject(SIR::signature, bstring(signature), 1);
    out.swapContent(secured);
    return true;
}

int SecuredMessageHandler::openSecuredIndexBrowseReq(Indexing::SecuredBrowseReq& secured,
                                                     Indexing::BrowseReq& out,
                                                     const std::string& expectedClient) {
    using SIR = Indexing::SecuredBrowseReq::f;
    pstring* encoded = secured.getpstringobject(SIR::systemAttributes);
    pstring* signature = secured.getpstringobject(SIR::signature);
    const CNMessageBase* request = secured.getObjectAccessor(SIR::request, false);
    if (!encoded || !signature || !request) return SECURED_NO_PAYLOAD;
    const int rc = checkSystemAttributes(encoded->str(), signature->str(), nullptr, *request, expectedClient);
    if (rc != SECURED_OK) return rc;
    Indexing::BrowseReq opened;
    copyFieldsByCode(*request, opened);
    out.swapContent(opened);  // its fields, without a copy (a message's move is one)
    return SECURED_OK;
}

}  // namespace I2
