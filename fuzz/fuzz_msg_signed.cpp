// Fuzzes the signed request: a request carrying arbitrary text signs and opens again to the same request,
// and arbitrary bytes as the encoded attributes and their signature are refused, never taken and never
// a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzzscratch.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/secured_message_handler.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzscratch::keepLogsPrivate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool keyed = [] {
        I2::SecuredMessageHandler::setSigningKey("fuzzing-key-0123456789abcdef");
        return true;
    }();
    (void)keyed;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = size / 2;
    const std::string encoded = input.substr(0, cut), signature = input.substr(cut);

    databrowse::BrowseRequest request;
    if (input.find('\0') == std::string::npos) {
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, input);
        request.setlistobject(databrowse::BrowseRequest::f::paths, {path});
        I2::SecuredMessageHandler signer;
        databrowse::SecuredBrowseRequest secured;
        if (!signer.secureBrowseRequest(request, "fuzzclient", secured)) abort();
        I2::SecuredMessageHandler opener;
        databrowse::BrowseRequest opened;
        if (opener.openSecuredBrowseRequest(secured, opened, "fuzzclient") != I2::SECURED_OK) abort();
        auto* paths = opened.getlistobject(databrowse::BrowseRequest::f::paths, false);
        if (!paths || paths->size() != 1 ||
            paths->front().getstring(databrowse::BrowsePath::f::path) != input)
            abort();
        // Signed for another client: refused.
        if (I2::SecuredMessageHandler().openSecuredBrowseRequest(secured, opened, "otherclient") ==
            I2::SECURED_OK)
            abort();
    }
    // Attributes nobody signed with the key are never accepted.
    I2::SecuredMessageHandler checker;
    if (checker.checkSystemAttributes(encoded, signature, nullptr, request, "") == I2::SECURED_OK) abort();
    return 0;
}
