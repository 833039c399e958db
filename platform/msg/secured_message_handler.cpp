#include "platform/msg/secured_message_handler.h"

#include <ctime>
#include <mutex>

#include "platform/config/zyplatforminfo.h"
#include "platform/msg/msg_crypto.h"
#include "platform/msg/msg_field.h"
#include "platform/msg/msg_log.h"

namespace I2 {

namespace {

using BR = databrowse::BrowseRequest::f;
using SA = databrowse::SystemAttributes::f;
using SBR = databrowse::SecuredBrowseRequest::f;

std::mutex g_keyLock;
std::string g_keyOverride;  // guarded by g_keyLock

bool signingKey(std::string& key) {
    {
        std::lock_guard lock(g_keyLock);
        key = g_keyOverride;
    }
    if (key.empty())
        ZYPlatformInfo::getString(SecuredMessageHandler::kKeySection, SecuredMessageHandler::kKeyName, &key);
    if (key.size() >= SecuredMessageHandler::kMinKeyBytes) return true;
    msgLog(-1, "SecuredMessageHandler: no signing key of at least %zu bytes in [%s] %s",
           SecuredMessageHandler::kMinKeyBytes, SecuredMessageHandler::kKeySection,
           SecuredMessageHandler::kKeyName);
    return false;
}

// The request parts a secured request carries, in the order they are digested.
constexpr const MsgFieldRef* kSignedParts[] = {&BR::paths,   &BR::c_18d056, &BR::timeRange,
                                               &BR::options, &BR::mode,     &BR::advOptions,
                                               &BR::queries, &BR::c_2eca01, &BR::c_93ccff};

// SHA-256 (hex) of the XML of a request holding only the signed parts, always in the same order, so
// the sender's request and the receiver's rebuilt one digest alike wherever their fields sat.
bool requestDigest(const databrowse::BrowseRequest& request, std::string& digest) {
    databrowse::BrowseRequest parts;
    for (const MsgFieldRef* ref : kSignedParts) {
        const CNMessageField* f = request.findField(ref->code);
        if (!f) continue;
        CNMessageField copy(*f);
        parts.addField(ref->code, ref->i, ref->j, f->kind) = std::move(copy);
    }
    std::string xml;
    if (parts.serialize(xml) != 0) return false;
    MsgDigest d = msgSha256(xml);
    digest = msgToHex(d.data(), d.size());
    return true;
}

}  // namespace

SecuredMessageHandler::SecuredMessageHandler() = default;
SecuredMessageHandler::~SecuredMessageHandler() = default;

void SecuredMessageHandler::setSigningKey(const std::string& key) {
    std::lock_guard lock(g_keyLock);
    g_keyOverride = key;
}

std::string SecuredMessageHandler::encodeSystemAttributes(databrowse::BrowseRequest* request,
                                                          std::string& clientName) {
    if (!request) return {};
    std::string digest;
    if (!requestDigest(*request, digest)) {
        msgLog(-1, "SecuredMessageHandler: cannot digest the browse request for client [%s]",
               clientName.c_str());
        return {};
    }
    auto attributes = std::make_unique<databrowse::SystemAttributes>();
    attributes->setstring(SA::clientName, clientName);
    attributes->setint64(SA::createTime, static_cast<int64_t>(time(nullptr)));
    attributes->setstring(SA::requestDigest, digest);
    std::string encoded;
    if (attributes->serialize(encoded) != 0) return {};
    m_attributes = std::move(attributes);
    return encoded;
}

bool SecuredMessageHandler::generateSignature(std::string& encoded, std::string& signature) {
    std::string key;
    if (encoded.empty() || !signingKey(key)) return false;
    MsgDigest mac{};
    if (!msgHmacSha256(key, encoded, mac)) return false;
    signature = msgToHex(mac.data(), mac.size());
    return true;
}

bool SecuredMessageHandler::verifySignature(const std::string& encoded, const std::string& signature) {
    std::string expected;
    std::string text(encoded);
    return generateSignature(text, expected) && msgSameBytes(expected, signature);
}

int SecuredMessageHandler::checkSystemAttributes(const std::string& encoded, const std::string& signature,
                                                 const databrowse::BrowseRequest& request,
                                                 const std::string& expectedClient) {
    std::string key;
    if (!signingKey(key)) return SECURED_NO_KEY;
    if (!verifySignature(encoded, signature)) {
        msgLog(-1, "SecuredMessageHandler: signature of the system attributes does not match");
        return SECURED_BAD_SIGNATURE;
    }
    auto attributes = std::make_unique<databrowse::SystemAttributes>();
    if (attributes->unserialize(encoded) != 0 || !attributes->isSet(SA::requestDigest))
        return SECURED_BAD_ATTRIBUTES;
    if (!expectedClient.empty() && attributes->getstring(SA::clientName) != expectedClient) {
        msgLog(-1, "SecuredMessageHandler: request signed for client [%s], not [%s]",
               attributes->getstring(SA::clientName).c_str(), expectedClient.c_str());
        return SECURED_WRONG_CLIENT;
    }
    std::string digest;
    if (!requestDigest(request, digest) || !msgSameBytes(digest, attributes->getstring(SA::requestDigest))) {
        msgLog(-1, "SecuredMessageHandler: the request parts differ from the signed ones");
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
    databrowse::BrowseRequest rebuilt;
    copyFieldsByCode(*payload, rebuilt);
    if (CNMessageBase* session = secured.getObjectAccessor(SBR::session, false))
        rebuilt.setObjectAccessor(*session, BR::session);
    int rc = checkSystemAttributes(encoded->str(), signature->str(), rebuilt, expectedClient);
    if (rc == SECURED_OK) out = rebuilt;
    return rc;
}

}  // namespace I2
