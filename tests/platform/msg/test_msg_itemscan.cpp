// The items a relay forwards as they came are checked without a document: an answer is taken or refused
// exactly as a parser of the whole text takes or refuses it, whatever its items hold, and what is read of
// the rest is the same.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_registry.h"
#include "platform/msg/xml_codec.h"
#include "platform/msg/xml_scan.h"

namespace {

using Resp = databrowse::BrowseResponse;

// An answer of `count` items, each with attributes that need escaping (unless `plain`) and a child object
// of its own.
std::string answerText(int count, bool plain = false) {
    Resp answer;
    answer.setint64(Resp::f::respType, 0);
    answer.setstring(Resp::f::workerId, "w\t<7>");
    CNMessageBase* result = answer.getObjectAccessor(Resp::f::browseResult, true);
    result->setstring(databrowse::BrowseResult::f::queryId, "q&1");
    std::vector<CNMessageBase> items;
    for (int i = 0; i < count; ++i) {
        databrowse::BrowseData item;
        item.setstring(databrowse::BrowseData::f::name, plain ? "file " + std::to_string(10 + i * 7)
                                                              : "f<" + std::to_string(i) + ">&\"'\t\xc3\xa9");
        item.setint64(databrowse::BrowseData::f::size, 1000 + i);
        item.getObjectAccessor(databrowse::BrowseData::f::flags, true)
            ->setint64(databrowse::BrowseItemFlags::f::directory, i % 2);
        items.push_back(item);
    }
    result->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
    std::string xml;
    EXPECT_EQ(answer.serialize(xml), 0);
    return xml;
}

const char* name(const MsgFieldRef& f) {
    return CNMessageRegistry::instance().fieldName(f.code);
}

// Reads `text` as a relay does (`checkedBefore`: as the one it hands it to does); the code, and what was
// read and counted.
int relayRead(const std::string& text, std::string& read, size_t& items, bool checkedBefore = false) {
    std::unique_ptr<CNMessageBase> out;
    items = 0;
    const char* const holder = name(Resp::f::browseResult);
    const char* const list = name(databrowse::BrowseResult::f::dataResultSet);
    XMLDecoder decoder;
    const int rc =
        checkedBefore
            ? decoder.decodeCheckedLeavingOut(Resp::TAG, text.data(), text.size(), holder, list, out, items)
            : decoder.decodeLeavingOut(Resp::TAG, text.data(), text.size(), holder, list, out, items);
    read.clear();
    if (rc == MSG_OK) out->serialize(read);
    return rc;
}

// Whether a parser of the whole text takes it as one document of one root (as the decoder parses, a NUL
// refused).
bool parserTakes(const std::string& text) {
    if (text.find('\0') != std::string::npos || text.find("&#0;") != std::string::npos) return false;
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size(), pugi::parse_escapes | pugi::parse_cdata,
                         pugi::encoding_utf8))
        return false;
    int roots = 0;
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling())
        roots += n.type() == pugi::node_element;
    return roots == 1;
}

// Edits of the first item (read whole) and of a later one (read as like the one before it, where it is and
// where its values hold no reference).
class RelayedItemEdits : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(RelayedItemEdits, AreTakenOrRefusedAsAParserOfTheWholeTextWould) {
    const std::string good = answerText(4, std::get<1>(GetParam()));
    std::string readGood;
    size_t countGood = 0;
    ASSERT_EQ(relayRead(good, readGood, countGood), MSG_OK);
    EXPECT_EQ(countGood, 4u);
    const std::string list = std::string("<") + name(databrowse::BrowseResult::f::dataResultSet);
    size_t firstItem = good.find(list);
    for (int n = 0; n < std::get<0>(GetParam()); ++n) firstItem = good.find(list, firstItem + 1);
    const size_t secondItem = good.find(list, firstItem + 1);
    ASSERT_NE(secondItem, std::string::npos) << good;
    // Edits inside the first item (at its name's end), or of its whole text.
    const size_t inside = firstItem + list.size();
    const size_t content = good.find('>', firstItem) + 1;  // the first item's children start there
    const std::string item = good.substr(firstItem, secondItem - firstItem);
    struct TEdit {
        const char* what;
        std::string text;
        bool item = true;  // the first item is still an item (what is read of the rest is unchanged)
    };
    auto at = [&](size_t where, const std::string& insert) {
        std::string t = good;
        t.insert(where, insert);
        return t;
    };
    auto swapped = [&](size_t where, char by) {
        std::string t = good;
        t[where] = by;
        return t;
    };
    auto replaced = [&](const std::string& by) {
        std::string t = good;
        t.replace(firstItem, item.size(), by);
        return t;
    };
    std::string deep;
    for (int d = 0; d < 300; ++d) deep += "<d>";
    for (int d = 0; d < 300; ++d) deep += "</d>";
    const std::vector<TEdit> edits = {
        {"an attribute", at(inside, " extra=\"1 &amp; 2 &#x41; &#66; &lt;&gt;&quot;&apos; 'q'\"")},
        {"an attribute in single quotes", at(inside, " extra='say \"hi\"'")},
        {"'<' in an attribute", at(inside, " extra=\"a<b\"")},
        {"an unquoted attribute", at(inside, " extra=1")},
        {"an attribute without a value", at(inside, " extra")},
        {"attributes with no space between", at(inside, " a=\"1\"b=\"2\"")},
        {"an unknown reference", at(inside, " extra=\"&bogus;\"")},
        {"a bare ampersand", at(inside, " extra=\"a & b\"")},
        {"a reference to NUL", at(inside, " extra=\"&#0;\"")},
        {"a long character reference", at(inside, " extra=\"&#0000000065;\"")},
        {"an end tag of another name in an item", at(content, "<x></y>")},
        {"an end tag with white space", at(content, "<x></x \n>")},
        {"an element in an item", at(content, "<x a=\"1\"><y/>text &amp; more</x>")},
        {"an item left open", replaced(item.substr(0, item.find('>')) + ">")},
        {"an end tag of another name", replaced(item + "</other>")},
        {"a child element left open", replaced(item.substr(0, item.size() - 2) + "><open>")},
        {"a comment in an item", replaced(list + " x.item=\"1\"><!-- note --></" + list.substr(1) + ">")},
        {"CDATA in an item", replaced(list + " x.item=\"1\"><![CDATA[<raw>]]></" + list.substr(1) + ">")},
        {"text among the items", at(firstItem, "loose text")},
        {"white space among the items", at(firstItem, " \n\t ")},
        {"an item nested 300 deep", replaced(list + " x.item=\"1\">" + deep + "</" + list.substr(1) + ">")},
        {"a name that is not ASCII", replaced("<\xc3\xa9t\xc3\xa9/>"), false},
        {"a cut text", good.substr(0, good.size() - 5)},
        {"something after the root", good + "<second/>"},
        {"a value holding '<'", at(good.find('"', inside) + 1, "<")},
        {"a value holding a bare '&'", at(good.find('"', inside) + 1, "&")},
        {"a value holding a reference", at(good.find('"', inside) + 1, "&amp;")},
        {"a value holding '>'", at(good.find('"', inside) + 1, ">")},
        {"a value ended early", at(good.find('"', inside) + 1, "\"")},
        {"a value in single quotes",
         [&] {
             std::string t = good;
             const size_t open = t.find('"', inside), close = t.find('"', open + 1);
             t[open] = t[close] = '\'';
             return t;
         }()},
        {"another element name", at(firstItem + 1, "x")},
        // Edits that keep the item's length (an item like the one before it is compared with it).
        {"a value's byte made '\"'", swapped(good.find('"', inside) + 2, '"')},
        {"a value's byte made '<'", swapped(good.find('"', inside) + 2, '<')},
        {"a value's byte made '&'", swapped(good.find('"', inside) + 2, '&')},
        {"a value's closing quote made a space", swapped(good.find('"', good.find('"', inside) + 1), ' ')},
        {"an attribute's name byte made '$'", swapped(inside + 2, '$')},
        {"the element's name changed", swapped(firstItem + 2, 'X')},
        {"a child's name changed", swapped(good.find('<', firstItem + 1) + 1, 'Q')},
        {"an attribute more", at(inside, " more=\"1\"")},
        // A value longer or shorter than the one before it (the two are aligned again at its closing
        // quote), then a fault after it.
        {"a value made 40 bytes longer", at(good.find('"', inside) + 1, std::string(40, 'v'))},
        {"a value made longer, then an attribute's name byte made '$'",
         [&] {
             std::string t = at(good.find('"', inside) + 1, std::string(40, 'v'));
             t[t.find('=', t.find('"', t.find('"', inside) + 1)) - 1] = '$';
             return t;
         }()},
        {"a value made empty, then an end tag of another name",
         [&] {
             std::string t = good;
             const size_t open = t.find('"', inside);
             t.erase(open + 1, t.find('"', open + 1) - open - 1);
             t[t.find("</", open) + 3] = 'X';
             return t;
         }()},
    };
    for (const TEdit& edit : edits) {
        std::string read;
        size_t count = 0;
        const int rc = relayRead(edit.text, read, count);
        EXPECT_EQ(rc == MSG_OK, parserTakes(edit.text)) << edit.what << ": " << rc << "\n" << edit.text;
        if (rc == MSG_OK && edit.item) {
            EXPECT_EQ(read, readGood) << edit.what << ": the rest reads as before";
        }
        // Items compared thirty-two bytes in one step or in two take and find the same.
        xmlscan::TItems oneStep, twoSteps;
        const bool takenInOne =
            xmlscan::plainWithItems(edit.text, name(Resp::f::browseResult),
                                    name(databrowse::BrowseResult::f::dataResultSet), oneStep);
        xmlscan::compareInOneStep(false);
        const bool takenInTwo =
            xmlscan::plainWithItems(edit.text, name(Resp::f::browseResult),
                                    name(databrowse::BrowseResult::f::dataResultSet), twoSteps);
        xmlscan::compareInOneStep(true);
        EXPECT_EQ(takenInOne, takenInTwo) << edit.what;
        EXPECT_EQ(oneStep.ranges, twoSteps.ranges) << edit.what;
    }
}

INSTANTIATE_TEST_SUITE_P(FirstAndLater, RelayedItemEdits,
                         ::testing::Combine(::testing::Values(0, 2), ::testing::Bool()));

// A name is read to its last name byte (ASCII letters, digits, '_', ':', '-', '.'), sixteen bytes at a
// time: each byte value, at each place of a long attribute name, is taken only as the parser takes it.
TEST(RelayedItems, NamesHoldOnlyNameBytes) {
    const std::string head = "<r><a><b/><b a";
    for (int c = 1; c < 256; ++c) {
        for (size_t place : {size_t{1}, size_t{15}, size_t{17}}) {
            std::string attribute(20, 'n');
            attribute[place] = static_cast<char>(c);
            const std::string text = head + attribute + "=\"1\"/></a></r>";
            xmlscan::TItems items;
            const bool plain = xmlscan::plainWithItems(text, "a", "b", items);
            const bool nameByte = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '_' || c == ':' || c == '-' || c == '.';
            EXPECT_EQ(plain, nameByte) << "byte " << c << " at " << place;
            if (plain) {
                EXPECT_EQ(items.count, 2u);
            }
        }
    }
}

// An answer read and checked before (its items not checked again) reads as the full check reads it:
// the same message and count, whatever form its items take: quoted values holding what ends a tag,
// nested elements, an item of one element or two, a comment or CDATA (read whole), items of a second
// holder (not counted). Neither a cut text nor a bare '<' reads past the text's end.
TEST(RelayedItems, ACheckedAnswerReadsAsTheFullCheckReadsIt) {
    const std::string good = answerText(3);
    const std::string list = std::string("<") + name(databrowse::BrowseResult::f::dataResultSet);
    const std::string listEnd = "</" + list.substr(1) + ">";
    const size_t firstItem = good.find(list);
    const size_t holderEnd = good.find(std::string("</") + name(Resp::f::browseResult));
    ASSERT_NE(holderEnd, std::string::npos) << good;
    auto at = [&](size_t where, const std::string& insert) {
        std::string t = good;
        t.insert(where, insert);
        return t;
    };
    const std::vector<std::pair<const char*, std::string>> texts = {
        {"no items", answerText(0)},
        {"one item", answerText(1)},
        {"many items", answerText(120)},
        {"values holding '>', '/>' and the other quote",
         at(firstItem, list + " a='x/>\"y' b=\"'>\"/>" + list + " c=\"</z>\"></" + list.substr(1) + ">")},
        {"nested elements", at(firstItem, list + "><x><y a=\"1\"/><" + list.substr(1) + "/></x>" + listEnd)},
        {"white space between items",
         at(firstItem, list + "/>\n  " + list + "></" + list.substr(1) + " >\n")},
        {"a comment among the items", at(firstItem, "<!-- <a> -->")},
        {"CDATA in an item", at(firstItem, list + "><![CDATA[</a>]]>" + listEnd)},
        {"items of a second holder", at(holderEnd + good.substr(holderEnd).find('>') + 1,
                                        std::string("<") + name(Resp::f::browseResult) + ">" + list + "/></" +
                                            name(Resp::f::browseResult) + ">")},
        {"a declaration first", "<?xml version=\"1.0\"?>" + good},
    };
    for (const auto& [what, text] : texts) {
        std::string full, checked;
        size_t fullCount = 0, checkedCount = 0;
        const int fullRc = relayRead(text, full, fullCount);
        EXPECT_EQ(relayRead(text, checked, checkedCount, true), fullRc) << what << "\n" << text;
        EXPECT_EQ(checked, full) << what;
        EXPECT_EQ(checkedCount, fullCount) << what;
    }
    std::string read;
    size_t count = 0;
    EXPECT_EQ(relayRead(good, read, count, true), MSG_OK);
    EXPECT_EQ(count, 3u);

    xmlscan::TItems items;
    ASSERT_TRUE(xmlscan::itemsOfCheckedText(good, name(Resp::f::browseResult), list.substr(1), items));
    EXPECT_EQ(items.count, 3u) << "found by their tags, not read whole";
    for (size_t cut = 0; cut < good.size(); cut += 7)
        xmlscan::itemsOfCheckedText(good.substr(0, cut), "a", "b", items);
    EXPECT_FALSE(xmlscan::itemsOfCheckedText("<", "a", "b", items));
    EXPECT_FALSE(xmlscan::itemsOfCheckedText("<r a=\"1>", "a", "b", items));
    EXPECT_FALSE(xmlscan::itemsOfCheckedText("<r><a>", "a", "b", items)) << "a holder left open";
    ASSERT_TRUE(xmlscan::itemsOfCheckedText("<r><a><b/> <b x='>'></b><c/><b><b/></b></a><a><b/></a></r>", "a",
                                            "b", items));
    EXPECT_EQ(items.count, 3u);
    ASSERT_EQ(items.ranges.size(), 3u);
}

// Where the check that took an answer in found its items travels with the text: read with those places
// it reads as the full check reads it, and places that cannot be the text's are passed over (the items
// are found again). A text the parser read whole gives its count but no places.
TEST(RelayedItems, ThePlacesTheCheckFoundServeTheNextRead) {
    const std::string good = answerText(5);
    const char* const holder = name(Resp::f::browseResult);
    const char* const list = name(databrowse::BrowseResult::f::dataResultSet);
    std::unique_ptr<CNMessageBase> out;
    xmlscan::TItems places;
    ASSERT_EQ(XMLDecoder().decodeLeavingOut(Resp::TAG, good.data(), good.size(), holder, list, out, places),
              MSG_OK);
    EXPECT_EQ(places.count, 5u);
    ASSERT_FALSE(places.ranges.empty());
    std::string expected;
    ASSERT_EQ(out->serialize(expected), 0);

    xmlscan::TItems beyond = places;
    beyond.ranges.back().second = good.size() + 1;
    xmlscan::TItems shifted = places;
    for (auto& range : shifted.ranges) ++range.first;
    xmlscan::TItems unordered = places;
    unordered.ranges.push_back(places.ranges.front());
    const std::vector<std::pair<const char*, xmlscan::TItems>> given = {{"the check's places", places},
                                                                        {"places beyond the text", beyond},
                                                                        {"places not at a tag", shifted},
                                                                        {"places out of order", unordered},
                                                                        {"no places", xmlscan::TItems{}}};
    for (const auto& [what, items] : given) {
        size_t count = 0;
        ASSERT_EQ(XMLDecoder().decodeCheckedLeavingOut(Resp::TAG, good.data(), good.size(), holder, list,
                                                       items, out, count),
                  MSG_OK)
            << what;
        std::string read;
        EXPECT_EQ(out->serialize(read), 0);
        EXPECT_EQ(read, expected) << what;
        EXPECT_EQ(count, 5u) << what;
    }

    std::string commented = good;
    commented.insert(commented.find(std::string("<") + list), "<!-- a note -->");
    ASSERT_EQ(XMLDecoder().decodeLeavingOut(Resp::TAG, commented.data(), commented.size(), holder, list, out,
                                            places),
              MSG_OK);
    EXPECT_EQ(places.count, 5u);
    EXPECT_TRUE(places.ranges.empty()) << "read by the parser: no places to hand on";
}

}  // namespace
