// Fuzzes the check a relay makes of the items it forwards as they came: arbitrary bytes made into items
// of an answer, as they are and as the same item twice and thrice (so that an item like the one before
// it is compared with that one). Whatever the check takes as plain, the parser must take too, with the
// same items in the same places; and a forwarder handed those places reads the answer as the check did.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "fuzz/fuzzscratch.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/msg/xml_codec.h"
#include "platform/msg/xml_scan.h"

namespace {

constexpr const char* kHolder = "browseResult";
constexpr const char* kList = "dataResultSet";

// How many items of the holder the parser reads; false when it refuses the text.
bool parserItems(const std::string& text, size_t& count) {
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size(), pugi::parse_escapes | pugi::parse_cdata,
                         pugi::encoding_utf8))
        return false;
    pugi::xml_node root;
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
        if (n.type() != pugi::node_element) continue;
        if (root) return false;
        root = n;
    }
    if (!root) return false;
    count = 0;
    for (pugi::xml_node item : root.child(kHolder).children(kList)) {
        (void)item;
        ++count;
    }
    return true;
}

void check(const std::string& text) {
    if (text.find('\0') != std::string::npos) return;  // refused before the check (a NUL cuts a value short)
    xmlscan::TItems items, inTwoSteps;
    const bool taken = xmlscan::plainWithItems(text, kHolder, kList, items);
    // Compared in two steps of sixteen bytes instead of one of thirty-two, the same is taken.
    xmlscan::compareInOneStep(false);
    const bool takenInTwoSteps = xmlscan::plainWithItems(text, kHolder, kList, inTwoSteps);
    xmlscan::compareInOneStep(true);
    if (taken != takenInTwoSteps || items.ranges != inTwoSteps.ranges) abort();
    if (!taken) return;
    size_t count = 0;
    if (!parserItems(text, count)) abort();  // taken as plain, refused by the parser
    if (count != items.count) abort();
    size_t counted = 0, from = 0;
    for (const auto& [begin, end] : items.ranges) {
        if (begin < from || end <= begin || end > text.size()) abort();
        if (text.compare(begin, 1 + std::string_view(kList).size(), std::string("<") + kList) != 0) abort();
        from = end;
        ++counted;
    }
    if (items.count > 0 && counted == 0) abort();
    // What a forwarder reads with the places is what the check read.
    std::unique_ptr<CNMessageBase> checked, forwarded;
    xmlscan::TItems found;
    if (XMLDecoder().decodeLeavingOut(0, text.data(), text.size(), kHolder, kList, checked, found) != 0)
        return;
    size_t leftOut = 0;
    if (XMLDecoder().decodeCheckedLeavingOut(0, text.data(), text.size(), kHolder, kList, found, forwarded,
                                             leftOut) != 0)
        abort();
    std::string a, b;
    if (checked->serialize(a) != 0 || forwarded->serialize(b) != 0) return;
    if (a != b || leftOut != found.count) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzscratch::keepLogsPrivate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string item(reinterpret_cast<const char*>(data), size);
    const std::string head =
        "<BrowseResponse x.tag=\"646bc10b\" respType=\"0\"><browseResult x.tag=\"64fb1f67\">";
    const std::string tail = "</browseResult></BrowseResponse>";
    const std::string like =
        "<dataResultSet x.item=\"64fd9174\" name=\"a\" size=\"12\"><flags file=\"1\"/></dataResultSet>";
    check(head + item + tail);
    check(head + item + item + item + tail);
    check(head + like + item + like + tail);
    // The bytes as the values of an item like the one before it.
    check(head + like + "<dataResultSet x.item=\"64fd9174\" name=\"" + item +
          "\" size=\"12\"><flags file=\"1\"/></dataResultSet>" + tail);
    return 0;
}
