// The non-template part of the row-family machinery.
#include "platform/db/rowfamily.h"

#include "platform/log/evdebug.h"

namespace zydb {

std::string typeStringOf(const ColumnInfo* cols, size_t n) {
    std::string t;
    for (size_t k = 0; k < n; ++k) {
        t += cols[k].code;
        if (cols[k].width > 0) t += std::to_string(cols[k].width);
        t += '|';
    }
    return t;
}

std::string columnListOf(const ColumnInfo* cols, size_t n) {
    std::string t;
    for (size_t k = 0; k < n; ++k) {
        if (k) t += ", ";
        t += cols[k].name;
    }
    return t;
}

ZYDBDataTypeBase* newValueObject(char code) {
    switch (code) {
        case 'i':
            return new ZYDB_int();
        case 'b':
        case 'x':
            return new ZYDB_int64();
        default:
            return new ZYDB_string();
    }
}

const char* argTextOrEmpty(const char* text, const char* family, int position) {
    if (text != nullptr) return text;
    EvDebug log(nullptr);
    log.setPrefixMessage("DBLAYER");
    log.error("%s: text argument %d is null; taken as empty", family, position);
    return "";
}

}  // namespace zydb
