#include "platform/errors/evmessagecatalog.h"

#include <cctype>
#include <unordered_map>

#include "platform/errors/evmessageids.h"

namespace {

struct CatalogueEntry {
    unsigned long id;
    unsigned long locale;
    const char* format;
};

constexpr CatalogueEntry kCatalogue[] = {
#define EV_MESSAGE_ID(name, id)
#define EV_MESSAGE(name, locale, format) {static_cast<unsigned long>(evmsg::name), locale, format},
#include "platform/errors/evmessages.def"
};

// Windows language ids keep the language in their low ten bits.
unsigned long languageOf(unsigned long locale) {
    return locale & 0x3ff;
}

struct Index {
    std::unordered_map<unsigned long long, const char*> byLocale;    // (id, locale)
    std::unordered_map<unsigned long long, const char*> byLanguage;  // (id, language), first one listed
    std::unordered_map<unsigned long, bool> languages;

    static unsigned long long key(unsigned long id, unsigned long locale) {
        return (static_cast<unsigned long long>(id & 0xffffffffu) << 32) | (locale & 0xffffffffu);
    }

    Index() {
        for (const CatalogueEntry& e : kCatalogue) {
            byLocale.emplace(key(e.id, e.locale), e.format);
            byLanguage.emplace(key(e.id, languageOf(e.locale)), e.format);
            languages[languageOf(e.locale)] = true;
        }
    }
};

const Index& index() {
    static const Index built;
    return built;
}

const char* lookup(const std::unordered_map<unsigned long long, const char*>& map, unsigned long long key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
}

}  // namespace

const char* EvMessageCatalog::findFormat(unsigned long id, unsigned long locale) {
    const Index& idx = index();
    if (const char* f = lookup(idx.byLocale, Index::key(id, locale))) return f;
    if (const char* f = lookup(idx.byLanguage, Index::key(id, languageOf(locale)))) return f;
    return lookup(idx.byLocale, Index::key(id, kEnglishUS));
}

bool EvMessageCatalog::knowsLocale(unsigned long locale) {
    return locale != 0 && index().languages.count(languageOf(locale)) != 0;
}

std::string EvMessageCatalog::expand(const char* format, const ArgumentInfo& arguments) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(p[1]))) {
            out += '%';
            continue;
        }
        size_t number = 0;
        while (std::isdigit(static_cast<unsigned char>(p[1])) && number < 1000) {
            number = number * 10 + static_cast<size_t>(p[1] - '0');
            ++p;
        }
        if (number >= 1 && number <= arguments.size()) out += arguments.text(number - 1);
    }
    return out;
}

size_t EvMessageCatalog::copyTruncated(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    if (n < text.size()) {
        // Cut before a character whose bytes would not all fit.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80) --n;
    }
    text.copy(buffer, n);
    buffer[n] = '\0';
    return n;
}
