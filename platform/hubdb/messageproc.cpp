#include "platform/hubdb/messageproc.h"

namespace hubdb {

CMessageObject::~CMessageObject() = default;

}  // namespace hubdb
