#include "platform/net/zynet_xml.h"

#include <atomic>
#include <memory>
#include <string_view>

#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_registry.h"
#include "platform/msg/xml_codec.h"

namespace zynet {

namespace {

std::atomic<uint32_t> g_keptTags[4];  // 0: free

// 0: not made yet on this thread, 1: alive, 2: destroyed (a message decoded at exit keeps no text).
thread_local int t_receivedState = 0;
struct TReceived {
    const CNMessageBase* message = nullptr;
    bool skimmed = false;  // a list was left out of it
    std::string text;
    TReceived() { t_receivedState = 1; }
    ~TReceived() { t_receivedState = 2; }
};
TReceived* received() {
    if (t_receivedState == 2) return nullptr;
    thread_local TReceived t_received;
    return &t_received;
}

bool kept(uint32_t tag) {
    for (const std::atomic<uint32_t>& k : g_keptTags)
        if (k.load(std::memory_order_relaxed) == tag) return true;
    return false;
}

}  // namespace

void keepReceivedXml(uint32_t tag) {
    for (std::atomic<uint32_t>& k : g_keptTags) {
        uint32_t free = 0;
        if (k.load() == tag || k.compare_exchange_strong(free, tag)) return;
    }
}

const std::string* receivedXml(const CNMessageBase* message) {
    TReceived* r = received();
    return message && r && r->message == message ? &r->text : nullptr;
}

void forgetReceivedXml() {
    if (TReceived* r = received()) {
        r->message = nullptr;
        r->skimmed = false;
        r->text.clear();
    }
}

bool messageToXml(const CNMessageBase& message, std::string& xml, std::string& error) {
    if (const int rc = XMLEncoder().serialize(message, xml); rc != MSG_OK) {
        error = std::string("message does not serialise: ") + msgXmlErrorText(rc);
        return false;
    }
    return true;
}

CNMessageBase* messageFromXml(uint32_t tag, const uint8_t* data, size_t size, std::string& error) {
    XMLDecoder decoder;
    const char* text = reinterpret_cast<const char*>(data);
    std::unique_ptr<CNMessageBase> message;
    int rc = decoder.decode(tag, text, size, message);
    if (rc == MSG_ERR_UNKNOWN_CLASS) {
        // A class this process does not know still travels: its tag and fields are kept.
        message = std::make_unique<CNMessageBase>(CNMessageBase::withTag(tag));
        rc = decoder.decodeInto(text, size, *message);
    }
    if (rc != MSG_OK) {
        error = std::string("XML does not parse: ") + msgXmlErrorText(rc);
        return nullptr;
    }
    if (TReceived* r = received()) {
        r->message = nullptr;
        r->skimmed = false;
        if (kept(tag)) {
            r->text.assign(text, size);
            r->message = message.get();
        }
    }
    return message.release();
}

bool skimmedXml(const CNMessageBase* message) {
    TReceived* r = received();
    return message && r && r->message == message && r->skimmed;
}

CNMessageBase* messageFromXml(const TXmlSkim& skim, const uint8_t* data, size_t size, std::string& error) {
    const CNMessageRegistry& registry = CNMessageRegistry::instance();
    const char* childName = registry.fieldName(skim.child);
    const char* listName = registry.fieldName(skim.list);
    // An answer without the list's items (an end, an error) is read once, as any message.
    const std::string opening = std::string("<") + (listName ? listName : "");
    const char* text = reinterpret_cast<const char*>(data);
    if (!listName || !childName || !kept(skim.tag) ||
        std::string_view(text, size).find(opening) == std::string_view::npos)
        return messageFromXml(skim.tag, data, size, error);
    // One parse of the whole text; only the list's own items are left out of the object.
    std::unique_ptr<CNMessageBase> message;
    bool leftOut = false;
    const int rc = XMLDecoder().decodeLeavingOut(skim.tag, text, size, childName, listName, message, leftOut);
    if (rc == MSG_ERR_UNKNOWN_CLASS) return messageFromXml(skim.tag, data, size, error);
    if (rc != MSG_OK) {
        error = std::string("XML does not parse: ") + msgXmlErrorText(rc);
        return nullptr;
    }
    if (TReceived* r = received()) {
        r->message = message.get();
        r->text.assign(text, size);
        r->skimmed = leftOut;
    }
    return message.release();
}

}  // namespace zynet
