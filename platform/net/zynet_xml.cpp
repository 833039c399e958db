#include "platform/net/zynet_xml.h"

#include <memory>
#include <string_view>

#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_registry.h"
#include "platform/msg/xml_codec.h"

namespace zynet {

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
    return message.release();
}

bool messageFromXml(const TXmlSkim& skim, const uint8_t* data, size_t size, TReceivedXml& out,
                    std::string& error) {
    out.skimmed = false;
    out.items = xmlscan::TItems{};
    out.text.assign(reinterpret_cast<const char*>(data), size);
    // Read whole, as any message.
    auto whole = [&] {
        out.message.reset(messageFromXml(skim.tag, data, size, error));
        return out.message != nullptr;
    };
    const CNMessageRegistry& registry = CNMessageRegistry::instance();
    const char* childName = registry.fieldName(skim.child);
    const char* listName = registry.fieldName(skim.list);
    // An answer without the list's items (an end, an error) is read once, as any message.
    const std::string opening = std::string("<") + (listName ? listName : "");
    const char* text = reinterpret_cast<const char*>(data);
    if (!listName || !childName || std::string_view(text, size).find(opening) == std::string_view::npos)
        return whole();
    // One parse of the whole text; only the list's own items are left out of the object.
    std::unique_ptr<CNMessageBase> message;
    const int rc =
        XMLDecoder().decodeLeavingOut(skim.tag, text, size, childName, listName, message, out.items);
    if (rc == MSG_ERR_UNKNOWN_CLASS) return whole();
    if (rc != MSG_OK) {
        error = std::string("XML does not parse: ") + msgXmlErrorText(rc);
        return false;
    }
    out.message = std::move(message);
    out.skimmed = out.items.count > 0;
    return true;
}

}  // namespace zynet
