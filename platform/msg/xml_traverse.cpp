#include "platform/msg/xml_traverse.h"

#include <charconv>

#include "platform/msg/msg_field.h"
#include "platform/msg/xml_codec.h"

namespace {

class Walk {
public:
    Walk(XmlTraverseHandler& h, bool withValues, bool deep) : m_h(h), m_values(withValues), m_deep(deep) {}

    // false: stop everything
    bool object(CNMessageBase& m, const XmlTraverseNode& node) {
        if (node.depth > ZyXMLContextInfo{}.maxDepth) return false;
        ++m_count;
        XmlTraverseAction a = m_h.onObject(m, node);
        if (a == XmlTraverseAction::Stop) return false;
        if (a == XmlTraverseAction::Continue) {
            for (size_t n = 0; n < m.fieldCount(); ++n)
                if (!field(m, m.fieldAt(n), node.depth + 1)) return false;
        }
        m_h.onObjectEnd(m, node);
        return true;
    }

    int count() const { return m_count; }

private:
    bool value(const XmlTraverseNode& node, int64_t num, std::string_view text) {
        return m_h.onValue(node, num, text) != XmlTraverseAction::Stop;
    }

    template <typename T>
    bool numbers(XmlTraverseNode node, const std::vector<T>& items) {
        for (size_t k = 0; k < items.size(); ++k) {
            char buf[24];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, items[k]);
            node.index = static_cast<int>(k);
            if (!value(node, items[k], std::string_view(buf, end - buf))) return false;
        }
        return true;
    }

    bool field(CNMessageBase& owner, CNMessageField& f, int depth) {
        char codeBuf[16];
        XmlTraverseNode node{&owner, f.code, msgFieldXmlName(owner, f, codeBuf), f.i, f.j, f.kind, depth, -1};
        std::string nameCopy(node.name);  // the handler may outlive codeBuf's reuse
        node.name = nameCopy;
        CNMessageFieldBox* box = f.box.get();
        switch (f.kind) {
            case MsgFieldKind::Int: {
                if (!m_values) return true;
                char buf[24];
                auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f.num);
                return value(node, f.num, std::string_view(buf, end - buf));
            }
            case MsgFieldKind::Str:
                return !m_values || value(node, 0, f.text);
            case MsgFieldKind::PStr:
                return !m_values || !f.secret || value(node, 0, pstring::kMask);
            case MsgFieldKind::Obj:
                return !m_deep || !f.child || object(*f.child, node);
            case MsgFieldKind::ObjList:
                if (!m_deep || !box) return true;
                for (size_t k = 0; k < box->list().objects.size(); ++k) {
                    node.index = static_cast<int>(k);
                    if (!object(box->list().objects[k], node)) return false;
                }
                return true;
            case MsgFieldKind::StrList:
                if (!m_values || !box) return true;
                for (size_t k = 0; k < box->list().strings.size(); ++k) {
                    node.index = static_cast<int>(k);
                    if (!value(node, 0, box->list().strings[k])) return false;
                }
                return true;
            case MsgFieldKind::IntList:
                return !m_values || !box || numbers(node, box->list().ints);
            case MsgFieldKind::LongList:
                return !m_values || !box || numbers(node, box->list().longs);
        }
        return true;
    }

    XmlTraverseHandler& m_h;
    bool m_values;
    bool m_deep;
    int m_count = 0;
};

}  // namespace

int XmlTraverse::traverse(CNMessageBase& message, XmlTraverseHandler& handler, bool withValues, bool deep) {
    Walk walk(handler, withValues, deep);
    XmlTraverseNode root{nullptr, 0, message.className(), -1, -1, MsgFieldKind::Obj, 0, -1};
    return walk.object(message, root) ? walk.count() : -1;
}
