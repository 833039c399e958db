// The SQL format scanner: one pass over the format, aware of literals and quoted names.
#include "platform/db/sqlformat.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/db/dbresult.h"

namespace zydb {

namespace {

struct Spec {
    std::string flags;  // "-+ #0" and width/precision digits as written
    char conv = 0;
};

// Parses the conversion after a '%'; returns the index after it, or 0 when malformed.
size_t parseSpec(const char* f, size_t p, Spec& spec) {
    size_t start = p;
    while (f[p] && std::strchr("-+ #0", f[p])) ++p;
    while (f[p] >= '0' && f[p] <= '9') ++p;
    if (f[p] == '.') {
        ++p;
        while (f[p] >= '0' && f[p] <= '9') ++p;
    }
    spec.flags.assign(f + start, p - start);
    // Length modifiers say what the caller believed the type to be; the real type decides instead.
    while (f[p] && std::strchr("hlLqjzt", f[p])) ++p;
    if (f[p] == 'I' && f[p + 1] == '6' && f[p + 2] == '4') p += 3;
    if (!f[p]) return 0;
    spec.conv = f[p];
    return p + 1;
}

bool formatNumber(const Spec& spec, const SqlArg& a, std::string& out, std::string& error) {
    char buf[128];
    std::string fmt = "%" + spec.flags;
    int n = 0;
    switch (spec.conv) {
        case 'd':
        case 'i':
        case 'u':
            if (a.kind == SqlArg::Signed) {
                n = std::snprintf(buf, sizeof buf, (fmt + "lld").c_str(), a.i);
            } else if (a.kind == SqlArg::Unsigned) {
                n = std::snprintf(buf, sizeof buf, (fmt + "llu").c_str(), a.u);
            } else {
                error =
                    std::string("an integer conversion %") + spec.conv + " was given a non-integer argument";
                return false;
            }
            break;
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v = 0;
            if (a.kind == SqlArg::Signed) {
                v = static_cast<unsigned long long>(a.i);
                if (a.bytes > 0 && a.bytes < 8) v &= (1ull << (8 * a.bytes)) - 1;
            } else if (a.kind == SqlArg::Unsigned) {
                v = a.u;
            } else {
                error =
                    std::string("an integer conversion %") + spec.conv + " was given a non-integer argument";
                return false;
            }
            n = std::snprintf(buf, sizeof buf, (fmt + "ll" + spec.conv).c_str(), v);
            break;
        }
        case 'c':
            if (a.kind == SqlArg::Text) {
                error = "%c was given text";
                return false;
            }
            buf[0] = static_cast<char>(a.kind == SqlArg::Signed ? a.i : static_cast<long long>(a.u));
            n = 1;
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G': {
            double v = a.kind == SqlArg::Real       ? a.d
                       : a.kind == SqlArg::Signed   ? static_cast<double>(a.i)
                       : a.kind == SqlArg::Unsigned ? static_cast<double>(a.u)
                                                    : 0.0;
            if (a.kind == SqlArg::Text) {
                error = "a floating conversion was given text";
                return false;
            }
            n = std::snprintf(buf, sizeof buf, (fmt + spec.conv).c_str(), v);
            break;
        }
        default:
            error = std::string("unsupported conversion %") + spec.conv;
            return false;
    }
    if (n < 0) {
        error = "number formatting failed";
        return false;
    }
    out.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
    return true;
}

// Text of one argument under a conversion: numbers from their real type, text as it is.
bool argText(const Spec& spec, const SqlArg& a, std::string& out, BoundSql& res) {
    if (spec.conv == 's') {
        if (a.kind != SqlArg::Text)
            return formatNumber(Spec{"", 'd'}, a, out, res.error) ||
                   formatNumber(Spec{"", 'g'}, a, out, res.error);
        if (a.t == nullptr) {
            res.notes.push_back("a null text argument was taken as empty");
            return true;
        }
        std::string_view v(a.t, a.len);
        if (v.find('\0') != std::string_view::npos) {
            res.error = "a text argument holds a NUL character";
            return false;
        }
        // Precision limits the text, as printf does; width pads it.
        size_t f = 0;
        bool left = false;
        while (f < spec.flags.size() && std::strchr("-+ #0", spec.flags[f])) left |= spec.flags[f++] == '-';
        size_t width = 0;
        while (f < spec.flags.size() && std::isdigit(static_cast<unsigned char>(spec.flags[f])))
            width = width * 10 + static_cast<size_t>(spec.flags[f++] - '0');
        if (f < spec.flags.size() && spec.flags[f] == '.') {
            size_t prec = static_cast<size_t>(std::atoi(spec.flags.c_str() + f + 1));
            if (prec < v.size()) v = v.substr(0, prec);
        }
        if (!left && width > v.size()) out.append(width - v.size(), ' ');
        out.append(v);
        if (left && width > v.size()) out.append(width - v.size(), ' ');
        return true;
    }
    if (spec.conv == 'n' || spec.conv == 'p' || spec.conv == '*') {
        res.error = std::string("conversion %") + spec.conv + " is not allowed in SQL";
        return false;
    }
    return formatNumber(spec, a, out, res.error);
}

// Text pasted outside quotes can only be a number or a list of numbers: anything else would be SQL
// written by whoever supplied the value.
bool safeUnquoted(std::string_view v) {
    for (char c : v) {
        if (!((c >= '0' && c <= '9') || c == ',' || c == ' ' || c == '-' || c == '+' || c == '.'))
            return false;
    }
    // "--" would comment out the rest of the clause.
    return v.find("--") == std::string_view::npos;
}

void scan(const char* fmt, const SqlArg* args, size_t count, BoundSql& out, bool bind) {
    out = BoundSql{};
    if (fmt == nullptr) {
        out.notes.push_back("a null format was taken as empty");
        return;
    }
    const bool noArgs = count == 0;
    size_t next = 0;
    auto fail = [&](std::string why) {
        out.rc = DB_ERR_ARGUMENT;
        out.error = std::move(why) + " in \"" + fmt + "\"";
        out.text.clear();
        out.params.clear();
    };
    auto takeArg = [&](const SqlArg*& a) -> bool {
        if (next >= count) {
            fail("more conversions than arguments");
            return false;
        }
        a = &args[next++];
        return true;
    };
    // The text of the '%' at `at`: "%" for "%%" and for a lone '%' of a prepared text, else the
    // argument's. `after` is where the format goes on; `isText` tells a text argument.
    auto expand = [&](size_t at, std::string& piece, size_t& after, bool& isText) -> bool {
        isText = false;
        if (fmt[at + 1] == '%' || noArgs) {
            piece = "%";
            after = at + (fmt[at + 1] == '%' ? 2 : 1);
            return true;
        }
        Spec spec;
        after = parseSpec(fmt, at + 1, spec);
        if (after == 0) {
            fail("a conversion is cut short");
            return false;
        }
        const SqlArg* a = nullptr;
        if (!takeArg(a)) return false;
        if (!argText(spec, *a, piece, out)) {
            fail(out.error);
            return false;
        }
        isText = spec.conv == 's' && a->kind == SqlArg::Text;
        return true;
    };

    std::string& o = out.text;
    size_t p = 0;
    while (fmt[p]) {
        char c = fmt[p];
        if (c == '%') {
            std::string piece;
            size_t after = 0;
            bool isText = false;
            if (!expand(p, piece, after, isText)) return;
            if (isText && !safeUnquoted(piece)) return fail("text outside quotes is not a number list");
            // A minus sign that meets a minus of the format would start a comment: keep them apart.
            if (!piece.empty() && piece.front() == '-' && !o.empty() && o.back() == '-') o += ' ';
            o += piece;
            if (!piece.empty() && piece.back() == '-' && fmt[after] == '-') o += ' ';
            p = after;
            continue;
        }
        if (c == '?' && bind) return fail("a bare parameter marker");
        if (c == '"' || c == '[') {  // quoted names pass through whole
            char close = c == '"' ? '"' : ']';
            size_t q = p + 1;
            while (fmt[q] && fmt[q] != close) ++q;
            if (!fmt[q]) return fail("an unterminated quoted name");
            o.append(fmt + p, q + 1 - p);
            p = q + 1;
            continue;
        }
        if (c != '\'') {
            o += c;
            ++p;
            continue;
        }
        // A literal: collect its value and note whether it holds conversions.
        bool national = !o.empty() && (o.back() == 'N' || o.back() == 'n') &&
                        (o.size() == 1 || !(std::isalnum(static_cast<unsigned char>(o[o.size() - 2])) ||
                                            o[o.size() - 2] == '_'));
        std::string value;    // the literal's text with quotes undoubled
        std::string printed;  // the literal as printed, quotes doubled
        bool converted = false;
        size_t q = p + 1;
        for (;;) {
            char d = fmt[q];
            if (!d) return fail("an unterminated literal");
            if (d == '\'') {
                if (fmt[q + 1] == '\'') {
                    value += '\'';
                    printed += "''";
                    q += 2;
                    continue;
                }
                ++q;
                break;
            }
            if (d == '%') {
                const bool literalPercent = fmt[q + 1] == '%' || noArgs;
                std::string piece;
                size_t after = 0;
                bool isText = false;
                if (!expand(q, piece, after, isText)) return;
                value += piece;
                for (char e : piece) {
                    if (e == '\'') printed += '\'';
                    printed += e;
                }
                converted |= !literalPercent;
                q = after;
                continue;
            }
            value += d;
            printed += d;
            ++q;
        }
        if (bind && converted) {
            if (national) o.pop_back();
            o += '?';
            out.params.push_back(DbValue::ofText(std::move(value)));
        } else {
            o += '\'';
            o += printed;
            o += '\'';
        }
        p = q;
    }
    if (next < count) fail("more arguments than conversions");
}

}  // namespace

void bindSqlFormat(const char* fmt, const SqlArg* args, size_t count, BoundSql& out) {
    scan(fmt, args, count, out, true);
}

void rawSqlClause(std::string_view clause, BoundSql& out) {
    out = BoundSql{};
    static constexpr std::string_view kRefused[] = {
        "'", "\"", "[", "`", "--", "/*", ";", "?", std::string_view("\0", 1)};
    for (std::string_view bad : kRefused) {
        if (clause.find(bad) == std::string_view::npos) continue;
        out.rc = DB_ERR_ARGUMENT;
        out.error = "a raw where clause may not hold " +
                    std::string(bad == std::string_view("\0", 1) ? "a NUL" : bad) +
                    " (text values are bound through a format)";
        return;
    }
    out.text.assign(clause);
}

void printSqlFormat(const char* fmt, const SqlArg* args, size_t count, BoundSql& out) {
    scan(fmt, args, count, out, false);
}

bool parseValuesClause(std::string_view s, std::vector<DbValue>& out) {
    out.clear();
    size_t p = 0;
    auto skip = [&] {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) ++p;
    };
    skip();
    if (p == s.size()) return true;
    for (;;) {
        skip();
        if (p < s.size() && (s[p] == 'N' || s[p] == 'n') && p + 1 < s.size() && s[p + 1] == '\'') ++p;
        if (p < s.size() && s[p] == '\'') {
            std::string v;
            ++p;
            for (;;) {
                if (p >= s.size()) return false;
                if (s[p] == '\'') {
                    if (p + 1 < s.size() && s[p + 1] == '\'') {
                        v += '\'';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                v += s[p++];
            }
            out.push_back(DbValue::ofText(std::move(v)));
        } else {
            size_t b = p;
            while (p < s.size() && s[p] != ',' && s[p] != ' ' && s[p] != '\t') ++p;
            std::string tok(s.substr(b, p - b));
            if (tok.empty()) return false;
            if (tok == "NULL" || tok == "null") {
                out.push_back(DbValue{});
            } else {
                char* end = nullptr;
                errno = 0;
                long long v = std::strtoll(tok.c_str(), &end, 10);
                if (*end == 0 && errno == 0) {
                    out.push_back(DbValue::ofInt(v));
                } else {
                    double d = std::strtod(tok.c_str(), &end);
                    if (*end != 0) return false;
                    out.push_back(DbValue::ofReal(d));
                }
            }
        }
        skip();
        if (p == s.size()) return true;
        if (s[p] != ',') return false;
        ++p;
    }
}

}  // namespace zydb
