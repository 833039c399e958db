// printf-style SQL formats made safe. A quoted literal that holds conversions ('%s', N'%s', '%%%s%%')
// becomes one bound parameter; numbers are printed from the argument's real C++ type whatever the
// conversion letter says, so a 64-bit time given to "%d" keeps all its bits. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/db/dbbackend.h"

namespace zydb {

// One argument of a format, with the type it really has. Text holding a NUL is refused: SQL would
// compare it cut short or whole depending on the engine and the collation.
struct SqlArg {
    enum Kind { Signed, Unsigned, Real, Text };
    Kind kind = Signed;
    int bytes = 0;  // width of an integer type, for %x of negative values
    long long i = 0;
    unsigned long long u = 0;
    double d = 0;
    const char* t = nullptr;  // Text: may be null (taken as empty, reported)
    size_t len = 0;
};

template <class T>
SqlArg toSqlArg(const T& v) {
    SqlArg a;
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        a.kind = SqlArg::Signed;
        a.bytes = 4;
        a.i = v ? 1 : 0;
    } else if constexpr (std::is_enum_v<U>) {
        return toSqlArg(static_cast<std::underlying_type_t<U>>(v));
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
        a.kind = SqlArg::Signed;
        a.bytes = sizeof(U);
        a.i = v;
    } else if constexpr (std::is_integral_v<U>) {
        a.kind = SqlArg::Unsigned;
        a.bytes = sizeof(U);
        a.u = v;
    } else if constexpr (std::is_floating_point_v<U>) {
        a.kind = SqlArg::Real;
        a.d = v;
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        a.kind = SqlArg::Text;
        a.t = v;
        a.len = v ? std::char_traits<char>::length(v) : 0;
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        a.kind = SqlArg::Text;
        a.t = v.data();
        a.len = v.size();
    } else {
        static_assert(std::is_integral_v<U>, "SQL format arguments are numbers or text");
    }
    return a;
}

// Arrays of char (a record's fixed text member) are text.
template <size_t N>
SqlArg toSqlArg(const char (&v)[N]) {
    return toSqlArg(static_cast<const char*>(v));
}
template <size_t N>
SqlArg toSqlArg(char (&v)[N]) {
    return toSqlArg(static_cast<const char*>(v));
}

struct BoundSql {
    std::string text;                // SQL with "?" where literals were bound
    std::vector<DbValue> params;     // in the order of the "?"
    std::vector<std::string> notes;  // things worth a log line (a null text argument)
    int rc = 0;                      // DB_OK, or DB_ERR_ARGUMENT with `error`
    std::string error;
};

// Formats for execution: literals holding conversions become parameters.
void bindSqlFormat(const char* fmt, const SqlArg* args, size_t count, BoundSql& out);

// A clause the caller built, taken as it is when it can carry no text value: no quote of any kind, no
// comment ("--", "/*"), no statement end, no parameter marker, no NUL. Otherwise `out` holds
// DB_ERR_ARGUMENT and why.
void rawSqlClause(std::string_view clause, BoundSql& out);

// Formats for printing (the printed values clause of a procedure): every literal stays in the text,
// its quotes doubled. The clause's size follows the escaped text, never the raw argument length.
void printSqlFormat(const char* fmt, const SqlArg* args, size_t count, BoundSql& out);

// Reads a printed values clause ("1,2,'a''b',N'c'") back into values. False on a malformed clause.
bool parseValuesClause(std::string_view clause, std::vector<DbValue>& out);

}  // namespace zydb
