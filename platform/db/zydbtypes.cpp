// The out-of-line part of the column value objects.
#include "platform/db/zydbtypes.h"

std::string ZYDBDataTypeBase::toString(int maxLength) const {
    if (m_isNull) return {};
    setString();
    if (maxLength > 0 && m_str.size() > static_cast<size_t>(maxLength))
        return m_str.substr(0, static_cast<size_t>(maxLength));
    return m_str;
}
