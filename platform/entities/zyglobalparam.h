// ZYGlobalParam: the current values of the Hubmaster's global parameters (NBGlobalParam rows with
// modified = 0). Any thread; reads run on the calling thread's connection. Asked with the request's
// scope (zydb::CRequestReads), each parameter is read once in the request.
#pragma once

#include <string>

namespace zydb {
class CRequestReads;
}

class ZYGlobalParam {
public:
    // 0 when the parameter is set and `value` took it; 100 when it is not set; else the database
    // error. `value` changes only on 0 (a text that is not a number reads as 0).
    static int get(const std::string& name, int& value, void* transaction = nullptr);
    static int get(const std::string& name, std::string& value, void* transaction = nullptr);
    // The same, read once in the request `reads` (null: read afresh).
    static int get(zydb::CRequestReads* reads, const std::string& name, int& value);
    static int get(zydb::CRequestReads* reads, const std::string& name, std::string& value);
};
