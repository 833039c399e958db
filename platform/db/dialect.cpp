// The dialect normaliser: a small tokenizer, then rewrites on the token list.
#include "platform/db/dialect.h"

#include <strings.h>

#include <cctype>
#include <unordered_map>
#include <vector>

#include "platform/threads/hubmutex.h"

namespace zydb {

namespace {

enum class Tok { Space, Word, Number, String, Name, Punct, Comment };

struct Token {
    Tok kind;
    std::string text;
};

bool wordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '#' || c == '@';
}

std::vector<Token> tokenize(const std::string& s) {
    std::vector<Token> out;
    size_t p = 0, n = s.size();
    while (p < n) {
        char c = s[p];
        size_t b = p;
        if (std::isspace(static_cast<unsigned char>(c))) {
            while (p < n && std::isspace(static_cast<unsigned char>(s[p]))) ++p;
            out.push_back({Tok::Space, s.substr(b, p - b)});
        } else if (c == '\'') {
            ++p;
            while (p < n) {
                if (s[p] == '\'') {
                    if (p + 1 < n && s[p + 1] == '\'') {
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                ++p;
            }
            out.push_back({Tok::String, s.substr(b, p - b)});
        } else if (c == '"' || c == '[' || c == '`') {
            char close = c == '[' ? ']' : c;
            ++p;
            while (p < n && s[p] != close) ++p;
            if (p < n) ++p;
            out.push_back({Tok::Name, s.substr(b, p - b)});
        } else if (c == '-' && p + 1 < n && s[p + 1] == '-') {
            while (p < n && s[p] != '\n') ++p;
            out.push_back({Tok::Comment, s.substr(b, p - b)});
        } else if (c == '/' && p + 1 < n && s[p + 1] == '*') {
            size_t e = s.find("*/", p + 2);
            p = e == std::string::npos ? n : e + 2;
            out.push_back({Tok::Comment, s.substr(b, p - b)});
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            while (p < n && (std::isalnum(static_cast<unsigned char>(s[p])) || s[p] == '.')) ++p;
            out.push_back({Tok::Number, s.substr(b, p - b)});
        } else if (wordChar(c)) {
            while (p < n && wordChar(s[p])) ++p;
            out.push_back({Tok::Word, s.substr(b, p - b)});
        } else {
            ++p;
            out.push_back({Tok::Punct, s.substr(b, 1)});
        }
    }
    return out;
}

bool is(const Token& t, const char* word) {
    return t.kind == Tok::Word && strcasecmp(t.text.c_str(), word) == 0;
}
bool isPunct(const Token& t, char c) {
    return t.kind == Tok::Punct && t.text[0] == c;
}

bool isHint(const Token& t) {
    static const char* const hints[] = {
        "NOLOCK",       "READUNCOMMITTED", "READCOMMITTED", "READCOMMITTEDLOCK", "REPEATABLEREAD",
        "SERIALIZABLE", "READPAST",        "ROWLOCK",       "PAGLOCK",           "TABLOCK",
        "TABLOCKX",     "UPDLOCK",         "XLOCK",         "HOLDLOCK",          "NOWAIT"};
    if (t.kind != Tok::Word) return false;
    for (const char* h : hints)
        if (strcasecmp(t.text.c_str(), h) == 0) return true;
    return false;
}

// Index of the next token that is not blank or comment, from i on (size when none).
size_t skipBlank(const std::vector<Token>& t, size_t i) {
    while (i < t.size() && (t[i].kind == Tok::Space || t[i].kind == Tok::Comment)) ++i;
    return i;
}

// When t[i] is '(' opening a list of table hints, the index after its ')' ; else 0.
size_t hintGroupEnd(const std::vector<Token>& t, size_t i) {
    if (i >= t.size() || !isPunct(t[i], '(')) return 0;
    size_t k = skipBlank(t, i + 1);
    if (k >= t.size() || !isHint(t[k])) return 0;
    for (;;) {
        k = skipBlank(t, k + 1);
        if (k >= t.size()) return 0;
        if (isPunct(t[k], ')')) return k + 1;
        if (!isPunct(t[k], ',')) return 0;
        k = skipBlank(t, k + 1);
        if (k >= t.size() || !isHint(t[k])) return 0;
    }
}

std::string normalizeUncached(const std::string& sql) {
    std::vector<Token> t = tokenize(sql);
    std::vector<Token> o;
    o.reserve(t.size());

    for (size_t i = 0; i < t.size(); ++i) {
        // N'text' is national text; the engine's text is already Unicode.
        if (t[i].kind == Tok::Word && (t[i].text == "N" || t[i].text == "n") && i + 1 < t.size() &&
            t[i + 1].kind == Tok::String) {
            continue;
        }
        // WITH (NOLOCK, ...) and bare (NOLOCK): locking hints mean nothing to a WAL reader.
        if (is(t[i], "WITH")) {
            size_t end = hintGroupEnd(t, skipBlank(t, i + 1));
            if (end) {
                i = end - 1;
                continue;
            }
        }
        if (size_t end = hintGroupEnd(t, i)) {
            i = end - 1;
            continue;
        }
        // ISNULL(a, b) is the two-argument IFNULL; ISNULL alone is an operator here.
        if (is(t[i], "ISNULL")) {
            size_t k = skipBlank(t, i + 1);
            if (k < t.size() && isPunct(t[k], '(')) {
                o.push_back({Tok::Word, "IFNULL"});
                continue;
            }
        }
        o.push_back(t[i]);
    }

    // SELECT [DISTINCT|ALL] TOP n / TOP (n): the limit goes to the end of that select.
    for (size_t i = 0; i < o.size(); ++i) {
        if (!is(o[i], "SELECT")) continue;
        size_t k = skipBlank(o, i + 1);
        if (k < o.size() && (is(o[k], "DISTINCT") || is(o[k], "ALL"))) k = skipBlank(o, k + 1);
        if (k >= o.size() || !is(o[k], "TOP")) continue;
        size_t topAt = k;
        size_t m = skipBlank(o, k + 1);
        std::string count;
        size_t after = 0;
        if (m < o.size() && o[m].kind == Tok::Number) {
            count = o[m].text;
            after = m + 1;
        } else if (m < o.size() && isPunct(o[m], '(')) {
            size_t v = skipBlank(o, m + 1);
            size_t c = v < o.size() ? skipBlank(o, v + 1) : o.size();
            if (v < o.size() && o[v].kind == Tok::Number && c < o.size() && isPunct(o[c], ')')) {
                count = o[v].text;
                after = c + 1;
            }
        }
        if (count.empty()) continue;  // TOP with an expression: left for the engine to reject
        o.erase(o.begin() + static_cast<long>(topAt), o.begin() + static_cast<long>(after));
        int depth = 0;
        size_t end = topAt;
        for (; end < o.size(); ++end) {
            if (isPunct(o[end], '(')) ++depth;
            if (isPunct(o[end], ')')) {
                if (depth == 0) break;
                --depth;
            }
            if (depth == 0 && (is(o[end], "UNION") || is(o[end], "EXCEPT") || is(o[end], "INTERSECT"))) break;
        }
        o.insert(o.begin() + static_cast<long>(end), {{Tok::Space, " "},
                                                      {Tok::Word, "LIMIT"},
                                                      {Tok::Space, " "},
                                                      {Tok::Number, count},
                                                      {Tok::Space, " "}});
    }

    std::string out;
    out.reserve(sql.size());
    for (const Token& x : o) out += x.text;
    return out;
}

}  // namespace

// The same few query texts come back on every request: each thread remembers its recent answers
// (a bounded set, emptied when full) instead of tokenizing them again, and the process remembers them
// for its threads, so that a thread new to the texts (a server starts one for a connection when none
// waits) finds them answered by the others.
std::string normalizeDialect(const std::string& sql) {
    constexpr size_t kRemembered = 256;
    thread_local std::unordered_map<std::string, std::string> t_seen;
    auto it = t_seen.find(sql);
    if (it != t_seen.end()) return it->second;
    // What every thread has normalised: a bounded set, emptied when full; lives until exit.
    struct TShared {
        CHubSharedMutex mutex;
        std::unordered_map<std::string, std::string> seen GUARDED_BY(mutex);
    };
    static auto* s_shared = new TShared;
    std::string out;
    bool found = false;
    {
        CHubReadLock lock(s_shared->mutex);
        if (auto shared = s_shared->seen.find(sql); shared != s_shared->seen.end())
            out = shared->second, found = true;
    }
    if (!found) {
        out = normalizeUncached(sql);
        CHubWriteLock lock(s_shared->mutex);
        if (s_shared->seen.size() >= kRemembered) s_shared->seen.clear();
        s_shared->seen.emplace(sql, out);
    }
    if (t_seen.size() >= kRemembered) t_seen.clear();
    t_seen.emplace(sql, out);
    return out;
}

}  // namespace zydb
