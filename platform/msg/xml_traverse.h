// XmlTraverse: walks a message tree node by node, depth first in field order, calling a handler for
// each object (the root, children, list items) and optionally for each value. Used by whoever holds
// the message, on its own thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/msg/cnmessagebase.h"

// Where a node sits: the field of its owner that holds it.
struct XmlTraverseNode {
    const CNMessageBase* owner;  // nullptr for the root
    uint32_t code;               // field code (0 for the root)
    std::string_view name;       // field's XML name (the class name for the root)
    int16_t i;
    int16_t j;
    MsgFieldKind kind;
    int depth;  // 0 for the root
    int index;  // position in a list, -1 otherwise
};

enum class XmlTraverseAction { Continue, SkipChildren, Stop };

class XmlTraverseHandler {
public:
    virtual ~XmlTraverseHandler() = default;
    virtual XmlTraverseAction onObject(CNMessageBase& object, const XmlTraverseNode& node) = 0;
    // Integers come with their text; password values come masked.
    virtual XmlTraverseAction onValue(const XmlTraverseNode&, int64_t, std::string_view) {
        return XmlTraverseAction::Continue;
    }
    virtual void onObjectEnd(CNMessageBase&, const XmlTraverseNode&) {}
};

class XmlTraverse {
public:
    // `withValues`: report integer, text and password fields and items of text and integer lists.
    // `deep`: go into children and list items (otherwise only the root's own fields are seen).
    // Returns the number of objects visited, or -1 when the handler stopped the walk or the tree is
    // nested deeper than a message may be.
    static int traverse(CNMessageBase& message, XmlTraverseHandler& handler, bool withValues, bool deep);
};
