// The XML payload of a frame: a message's text and tag out, an object of the tag's class in. Any
// thread; each call uses its own objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/msg/xml_scan.h"

class CNMessageBase;

namespace zynet {

// The message's XML text; false (with the reason) when it cannot be written.
bool messageToXml(const CNMessageBase& message, std::string& xml, std::string& error);

// A new object of the class registered for `tag` (a message of an unknown class keeps its tag and
// fields) filled from the XML; null (with the reason) when the text does not parse.
CNMessageBase* messageFromXml(uint32_t tag, const uint8_t* data, size_t size, std::string& error);

// What a relay forwards unchanged need not be read whole: a message of `tag` read for such a relay
// leaves out the items of one list (the field `list` of its object field `child`).
struct TXmlSkim {
    uint32_t tag = 0;
    uint32_t child = 0;  // field code of the object in the root
    uint32_t list = 0;   // field code of the list in that object
};
// A message read for a relay, as one value: the object, the whole text it came in (forwarded as it is
// where the relay changes nothing), and whether the list's items were left out of the object (the relay
// reads the text again where it needs them). `items`: where those items lie in `text` when the check
// found them (see XMLDecoder::decodeCheckedLeavingOut); they travel with the text, never without it.
struct TReceivedXml {
    std::unique_ptr<CNMessageBase> message;
    std::string text;
    bool skimmed = false;
    xmlscan::TItems items;
};
// Reads a message of `skim.tag` for a relay into `out`; false (with the reason) when it does not parse.
bool messageFromXml(const TXmlSkim& skim, const uint8_t* data, size_t size, TReceivedXml& out,
                    std::string& error);

}  // namespace zynet
