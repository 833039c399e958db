#include "worker/requestlog.h"

#include <vector>

#include "framework/browseaccess.h"
#include "platform/msg/xml_codec.h"

std::string maskedRequestText(const databrowse::BrowseRequest& original) {
    using BR = databrowse::BrowseRequest::f;
    using AF = databrowse::AdditionalFlag::f;
    // Written once per request: the secrets are masked as the text is written, the request not copied.
    std::vector<TMaskedValue> masked;
    if (original.isSet(BR::token)) masked.push_back({&original, BR::token.code});
    bool copy = false;  // a token flag without its value gets the masked value (the text shows it)
    // Only read: the flags are looked up, never made.
    if (auto* flags = requestAdditionalFlags(const_cast<databrowse::BrowseRequest&>(original))) {
        for (const CNMessageBase& flag : *flags) {
            if (!isTokenFlag(flag)) continue;
            if (flag.isSet(AF::value))
                masked.push_back({&flag, AF::value.code});
            else
                copy = true;
        }
    }
    if (copy) {
        databrowse::BrowseRequest request = original;
        if (request.isSet(BR::token)) request.setstring(BR::token, kMaskedSecret);
        if (auto* flags = requestAdditionalFlags(request))
            for (CNMessageBase& flag : *flags)
                if (isTokenFlag(flag)) flag.setstring(AF::value, kMaskedSecret);
        return request.AsString();
    }
    // Password fields (the access string among them) are masked by the message's own text form.
    XMLEncoder encoder(XML_ENCODE_MASK_SECRETS);
    encoder.maskValues(masked, kMaskedSecret);
    std::string text;
    if (encoder.serialize(original, text) != 0)
        text = std::string("<") + original.className() + " unprintable/>";
    return text;
}
