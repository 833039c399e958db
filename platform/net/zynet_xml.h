// The XML payload of a frame: a message's text and tag out, an object of the tag's class in. Any
// thread; each call uses its own objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CNMessageBase;

namespace zynet {

// The message's XML text; false (with the reason) when it cannot be written.
bool messageToXml(const CNMessageBase& message, std::string& xml, std::string& error);

// A new object of the class registered for `tag` (a message of an unknown class keeps its tag and
// fields) filled from the XML; null (with the reason) when the text does not parse.
CNMessageBase* messageFromXml(uint32_t tag, const uint8_t* data, size_t size, std::string& error);

// What a relay forwards unchanged need not be read whole: a message of `tag` read for such a relay
// leaves out the items of one list (the field `list` of its object field `child`). Its text is kept
// whole (receivedXml); skimmedXml(message) tells that the list was left out, and the relay reads the
// text again (messageFromXml) where it needs the items.
struct TXmlSkim {
    uint32_t tag = 0;
    uint32_t child = 0;  // field code of the object in the root
    uint32_t list = 0;   // field code of the list in that object
};
CNMessageBase* messageFromXml(const TXmlSkim& skim, const uint8_t* data, size_t size, std::string& error);
// True when `message` is the last message this thread read skimmed and a list was left out of it.
bool skimmedXml(const CNMessageBase* message);

// Keeps the text of each received message with `tag` (of a relay that forwards what it does not change
// as it came, without writing it again). At most a few tags; set once, before such messages arrive.
void keepReceivedXml(uint32_t tag);
// The text `message` was made from by the last messageFromXml of this thread, when its tag is kept;
// null for any other object.
const std::string* receivedXml(const CNMessageBase* message);
// Forgets the last message this thread read: an object made later at the same address is not taken
// for it. Called when the message's handler has returned.
void forgetReceivedXml();

}  // namespace zynet
