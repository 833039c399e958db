#include "worker/requestlog.h"

#include <boost/algorithm/string/predicate.hpp>

namespace {

constexpr int64_t kTokenFlagType = 2;

// The additional-flag list of a request (advanced block, advanced settings, additional-flag block);
// null when any of them is absent.
std::vector<CNMessageBase>* additionalFlags(databrowse::BrowseRequest& request) {
    if (!request.isSet(databrowse::BrowseRequest::f::advOptions)) return nullptr;
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false);
    if (!advanced || !advanced->isSet(databrowse::Msg63::f::advancedConfig)) return nullptr;
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false);
    if (!settings || !settings->isSet(databrowse::BrowseAdvancedConfig::f::flagBlock)) return nullptr;
    CNMessageBase* block = settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false);
    return block ? block->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr;
}

}  // namespace

std::string maskedRequestText(const databrowse::BrowseRequest& original) {
    databrowse::BrowseRequest request = original;
    if (request.isSet(databrowse::BrowseRequest::f::token))
        request.setstring(databrowse::BrowseRequest::f::token, kMaskedSecret);
    if (auto* flags = additionalFlags(request)) {
        for (CNMessageBase& flag : *flags) {
            if (flag.getint64(databrowse::AdditionalFlag::f::flagType) == kTokenFlagType ||
                boost::algorithm::iequals(flag.getstring(databrowse::AdditionalFlag::f::flagName), "token"))
                flag.setstring(databrowse::AdditionalFlag::f::value, kMaskedSecret);
        }
    }
    // Password fields (the access string among them) are masked by the message's own text form.
    return request.AsString();
}
