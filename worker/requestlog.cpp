#include "worker/requestlog.h"

#include <string_view>

#include "framework/browseaccess.h"

std::string maskedRequestText(const databrowse::BrowseRequest& original) {
    databrowse::BrowseRequest request = original;
    if (request.isSet(databrowse::BrowseRequest::f::token))
        request.setstring(databrowse::BrowseRequest::f::token, kMaskedSecret);
    if (auto* flags = requestAdditionalFlags(request))
        for (CNMessageBase& flag : *flags)
            if (isTokenFlag(flag)) flag.setstring(databrowse::AdditionalFlag::f::value, kMaskedSecret);
    // Password fields (the access string among them) are masked by the message's own text form.
    return maskAnswerKeys(request.AsString());
}

std::string maskAnswerKeys(std::string text) {
    static constexpr std::string_view kWorkerId = "workerId=\"";
    static constexpr std::string_view kMask = kMaskedSecret;
    for (size_t at = text.find(kWorkerId); at != std::string::npos; at = text.find(kWorkerId, at)) {
        at += kWorkerId.size();
        const size_t end = text.find('"', at);
        const size_t colon = text.find(':', at);
        if (end == std::string::npos) break;
        if (colon < end) text.replace(colon + 1, end - colon - 1, kMask);
    }
    return text;
}
