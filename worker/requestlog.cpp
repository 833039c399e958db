#include "worker/requestlog.h"

#include "framework/browseaccess.h"

std::string maskedRequestText(const databrowse::BrowseRequest& original) {
    databrowse::BrowseRequest request = original;
    if (request.isSet(databrowse::BrowseRequest::f::token))
        request.setstring(databrowse::BrowseRequest::f::token, kMaskedSecret);
    if (auto* flags = requestAdditionalFlags(request))
        for (CNMessageBase& flag : *flags)
            if (isTokenFlag(flag)) flag.setstring(databrowse::AdditionalFlag::f::value, kMaskedSecret);
    // Password fields (the access string among them) are masked by the message's own text form.
    return request.AsString();
}
