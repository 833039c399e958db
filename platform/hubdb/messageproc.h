// A request message handed to an XML-answering procedure of this process beside its text, and the
// answer handed back the same way (zydb::CProcObject): neither side reads back a text the other has
// just written. For one call, on the thread that makes it.
#pragma once

#include <memory>

#include "platform/db/procregistry.h"
#include "platform/msg/cnmessagebase.h"

namespace hubdb {

class CMessageObject final : public zydb::CProcObject {
public:
    explicit CMessageObject(std::unique_ptr<CNMessageBase> held) : message(std::move(held)) {}
    ~CMessageObject() override;  // out of line: one type identity for every library that casts to it
    std::unique_ptr<CNMessageBase> message;
};

// A copy of `message` to bind beside its text (DBtable::bindArgObject).
template <class T>
std::unique_ptr<zydb::CProcObject> messageObject(const T& message) {
    return std::make_unique<CMessageObject>(std::make_unique<T>(message));
}

// The message `object` holds when it is a T, taken out of it; null (and the object left alone)
// otherwise.
template <class T>
std::unique_ptr<T> takeMessage(const std::unique_ptr<zydb::CProcObject>& object) {
    auto* held = dynamic_cast<CMessageObject*>(object.get());
    if (!held || !dynamic_cast<T*>(held->message.get())) return nullptr;
    return std::unique_ptr<T>(static_cast<T*>(held->message.release()));
}

}  // namespace hubdb
