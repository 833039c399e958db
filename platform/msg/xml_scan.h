// A check of XML text in the plain form messages travel in (elements, attributes in quotes, text, the
// five named references and character references), made without building a document, for the decoder
// to pass over the items of a list that a relay forwards as they came. Only text that an XML parser
// surely reads is taken as plain; anything else (a comment, a processing instruction, CDATA, a document
// type, a reference or a name outside that form, text among the items) is left to the parser. Plain
// functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace xmlscan {

// The elements named `list` directly in the first element named `child` of the root: where they lie in
// the text, and how many there are.
struct TItems {
    std::vector<std::pair<size_t, size_t>> ranges;  // [begin, end) of runs of items, in text order
    size_t count = 0;
};

// True when `text` is one plain, well-formed element (white space around it), its items found in `out`;
// false when a parser must decide.
bool plainWithItems(std::string_view text, std::string_view child, std::string_view list, TItems& out);

// Whether an item is compared with the one before it thirty-two bytes in one step where the processor can
// (the default), or in two steps of sixteen: for tests, which check that both take the same.
void compareInOneStep(bool on);

// The same items found in text that was read and checked before (an answer this process took in, or one
// it wrote): by its tags alone, nothing checked. False when the text holds what only a parser tells apart
// (a comment, CDATA, a declaration) or does not end where its root does: the caller reads it whole.
bool itemsOfCheckedText(std::string_view text, std::string_view child, std::string_view list, TItems& out);

}  // namespace xmlscan
