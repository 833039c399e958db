#include "platform/net/zynet_xml.h"

#include <memory>

#include "platform/msg/cnmessagebase.h"
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

}  // namespace zynet
