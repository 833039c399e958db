#include "platform/errors/argumentinfo.h"

#include "platform/log/evdebug.h"

bool ArgumentInfo::AddArgument(const void* value, int type) {
    if (type != kTextArgument) {
        EvDebug log(nullptr);
        log.setPrefixMessage("ArgumentInfo");
        log.debugLvl(-1, "AddArgument: argument type %d is not known; argument %zu left out", type,
                     m_arguments.size() + 1);
        return false;
    }
    m_arguments.push_back({type, value ? static_cast<const char*>(value) : ""});
    return true;
}
