// XMLEncoder / XMLDecoder: the XML form of messages. Encoders and decoders are cheap, hold no shared
// state and are used by one thread each; make one per call.
//
// Form: the root element is named by the class and carries its tag (x.tag, 8 hex digits). Integer
// and text fields are attributes; a child object is an element with x.tag; a list of objects is one
// element per item with x.item (the item's tag); a list of texts or integers is one text element per
// item; a password field is an element with x.enc holding the enciphered value. A field is named by
// its XML name, or "f.<code in hex>" when only its code is known. Fields no class declares are kept
// and written back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/msg/xml_scan.h"

class CNMessageBase;

// Results of serialize / unserialize (0 is success).
enum MsgXmlError : int {
    MSG_OK = 0,
    MSG_ERR_PARSE = 1,             // not well-formed XML
    MSG_ERR_ROOT = 2,              // no single root element, or a root of another class than expected
    MSG_ERR_UNKNOWN_CLASS = 3,     // no registered class has the root's tag
    MSG_ERR_TOO_LARGE = 4,         // input larger than the context allows
    MSG_ERR_TOO_DEEP = 5,          // objects nested deeper than the context allows
    MSG_ERR_TEXT_TOO_LONG = 6,     // one value longer than the context allows
    MSG_ERR_BAD_NUMBER = 7,        // an integer field that is not a decimal 64-bit integer
    MSG_ERR_BAD_FIELD = 8,         // a malformed field or reserved name, or a bad tag
    MSG_ERR_KIND = 9,              // a field written as another kind than its class declares
    MSG_ERR_DUPLICATE = 10,        // one single-valued field given twice
    MSG_ERR_SECRET = 11,           // a password value that does not decipher
    MSG_ERR_UNWRITABLE = 12,       // a text holding a NUL byte cannot be written as XML
    MSG_ERR_EMPTY = 13,            // no input
    MSG_ERR_NUL = 14,              // a NUL character in the input, raw or as a reference (&#0;)
    MSG_ERR_TOO_MANY_FIELDS = 15,  // more fields (list items included) than the context allows
};

const char* msgXmlErrorText(int code);

// Limits and options of one encode or decode.
struct ZyXMLContextInfo {
    size_t maxInputBytes = size_t(64) << 20;
    size_t maxTextBytes = size_t(8) << 20;
    int maxDepth = 64;
    // Fields of one message, every value and list item of every object counted: far above a browse
    // response (a page of items is tens of thousands), far below what would exhaust memory.
    size_t maxFields = 1000000;
};

enum EncodingFlags : unsigned {
    XML_ENCODE_DEFAULT = 0,
    XML_ENCODE_READABLE = 1,      // line breaks and indentation
    XML_ENCODE_DECLARATION = 2,   // starts with <?xml ...?>
    XML_ENCODE_MASK_SECRETS = 4,  // password fields shown as a mask (log form; not readable back)
    // Password fields as the hex of their clear value, so that equal messages write equal text: only
    // for text that is digested and never leaves the process (a signer's digest), never for output.
    XML_ENCODE_DIGEST_FORM = 8,
    // The root's fields in its class's declared order, then those it does not declare in their own
    // order (a declared field set twice: its first value): the text does not depend on the order in which
    // the fields were set or read, so a sender and a receiver write one message alike.
    XML_ENCODE_DECLARED_ORDER = 16,
};

// A child object written already: its text as the same encoder writes it as a root.
struct TWrittenChild {
    const CNMessageBase* object = nullptr;  // an object field of the message written, at any depth
    std::string_view text;
};

// An integer or text field of a message written (the root or an object in it) that a log's text shows as a
// mask instead of its value.
struct TMaskedValue {
    const CNMessageBase* object = nullptr;
    uint32_t code = 0;
};

// `text` as the encoder writes a text value (`attribute`: inside an attribute's quotes), appended to
// `out`; false (`out` unchanged) on a NUL byte, which XML cannot carry.
bool msgAppendXmlEscaped(std::string& out, std::string_view text, bool attribute);

class XMLEncoder {
public:
    explicit XMLEncoder(EncodingFlags flags = XML_ENCODE_DEFAULT, ZyXMLContextInfo* context = nullptr);
    // The fields the next texts show as `mask` (the values and the mask must outlive the writing), so that
    // a log line masks them without a copy of the message.
    void maskValues(std::span<const TMaskedValue> values, std::string_view mask) {
        m_masked = values;
        m_mask = mask;
    }
    // Replaces `out` with the message's XML; `readable` adds line breaks. 0 on success.
    int serialize(const CNMessageBase& message, std::string& out, bool readable = false);
    // The same, `written.object` taken as written (renamed to its field) instead of written again; a text
    // not of the root form this encoder writes for that object's class is not used.
    int serialize(const CNMessageBase& message, std::string& out, const TWrittenChild& written);
    // Whether the last message written held a secret (whatever form it took in the text).
    bool wroteSecret() const { return m_wroteSecret; }

private:
    int write(const CNMessageBase& message, std::string& out, unsigned flags, const TWrittenChild& written);

    unsigned m_flags;
    bool m_wroteSecret = false;
    ZyXMLContextInfo m_context;
    std::span<const TMaskedValue> m_masked;
    std::string_view m_mask;
};

class XMLDecoder {
public:
    explicit XMLDecoder(ZyXMLContextInfo* context = nullptr);

    // Makes an object of the root's class (by its tag). 0 on success.
    int decode(const char* data, size_t size, std::unique_ptr<CNMessageBase>& out);
    // The same, requiring the root to carry `expectedTag` (a frame header's tag; 0 accepts any).
    int decode(uint32_t expectedTag, const char* data, size_t size, std::unique_ptr<CNMessageBase>& out);
    // Replaces `into`'s fields; the root must be of `into`'s class. `into` is unchanged on failure.
    int decodeInto(const char* data, size_t size, CNMessageBase& into);
    // decode(expectedTag, ...) without the elements named `list` inside the root's child element
    // `child`: they are parsed and checked with the rest of the text but make no fields (for a relay
    // that forwards them as they came). `leftOut` tells whether there were any.
    int decodeLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                         const char* list, std::unique_ptr<CNMessageBase>& out, bool& leftOut);
    // The same, counting the elements left out.
    int decodeLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                         const char* list, std::unique_ptr<CNMessageBase>& out, size_t& leftOut);
    // The same, telling where the elements left out lie in the text (`items.ranges` stays empty when the
    // parser, not the scan, read them), for whoever reads the same text later (see below).
    int decodeLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                         const char* list, std::unique_ptr<CNMessageBase>& out, xmlscan::TItems& items);
    // The same for text this process read and checked before, or wrote (an answer on its way on): the
    // elements left out are found by their tags, not checked again; the rest is read as ever.
    int decodeCheckedLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                                const char* list, std::unique_ptr<CNMessageBase>& out, size_t& leftOut);
    // The same where the check that took the text in told where its elements lie (`places`, from the
    // overload above): they are not looked for again. Places that cannot be this text's are not used.
    int decodeCheckedLeavingOut(uint32_t expectedTag, const char* data, size_t size, const char* child,
                                const char* list, const xmlscan::TItems& places,
                                std::unique_ptr<CNMessageBase>& out, size_t& leftOut);

private:
    // How decodeRoot finds the elements it leaves out: checked by the scan, found by their tags in text
    // checked before, or given in `items` by the check that took the text in.
    enum class EItems { Check, Tags, Given };
    int decodeRoot(uint32_t expectedTag, const char* data, size_t size, const char* child, const char* list,
                   std::unique_ptr<CNMessageBase>& out, xmlscan::TItems& items, EItems find = EItems::Check);

    ZyXMLContextInfo m_context;
};
