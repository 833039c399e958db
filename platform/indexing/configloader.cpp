#include "platform/indexing/configloader.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/errors/fxerrorutil.h"

namespace I2 {
namespace Utils {

namespace {

constexpr const char* kSection = "~Indexing";
constexpr const char* kKeyFileValue = "sIdxConfigKeyFile";

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Decimal or 0x hex, the whole text, within int.
bool parseInt(const std::string& text, int& out) {
    std::string t = trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 0);
    if (errno != 0 || end == t.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

ConfigLoader::ConfigLoader() : m_reader(), m_log(nullptr) {
    m_log.setPrefixMessage("IDXCONFIG");
}

ConfigLoader::~ConfigLoader() = default;

int ConfigLoader::lookUp(const std::string& key, std::string& text) {
    std::string path;
    if (m_reader.getString(kSection, kKeyFileValue, &path) == 0 || trim(path).empty()) return 0;
    path = trim(path);
    std::ifstream in(path);
    if (!in) {
        // A configured file that is missing means "nothing configured"; one that exists but cannot be
        // read is an error the caller must see.
        if (errno == ENOENT) return 0;
        m_log.debugLvl(0, "ERROR: cannot read index configuration key file [%s]", path.c_str());
        return -1;
    }
    bool found = false;
    std::string line;
    while (std::getline(in, line)) {
        std::string l = trim(line);
        if (l.empty() || l[0] == '#' || l[0] == ';') continue;
        size_t eq = l.find('=');
        if (eq == std::string::npos) continue;
        if (strcasecmp(trim(l.substr(0, eq)).c_str(), key.c_str()) != 0) continue;
        text = trim(l.substr(eq + 1));
        found = true;  // keep reading: a later line wins
    }
    return found ? 1 : 0;
}

bool ConfigLoader::GetPropertyText(const std::string& key, std::string& value) {
    std::string text;
    if (lookUp(key, text) != 1) return false;
    value = text;
    return true;
}

CUxError ConfigLoader::GetProperty(const std::string& key, const std::string& defaultText, int& value) {
    std::string text;
    int rc = lookUp(key, text);
    if (rc < 0) {
        return FXErrorUtil::ErrorInt(-1, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__),
                                     "index configuration key file is unreadable");
    }
    const bool fromFile = rc == 1;
    if (!fromFile) text = defaultText;
    if (!fromFile && trim(text).empty()) {
        value = 0;
        m_log.debugLvl(5, "index configuration key [%s] not set, using 0", key.c_str());
        return CUxError::Success();
    }
    int parsed = 0;
    if (!parseInt(text, parsed)) {
        m_log.debugLvl(0, "ERROR: index configuration key [%s] has a value that is not a number [%s]",
                       key.c_str(), text.c_str());
        return FXErrorUtil::ErrorInt(-1, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__),
                                     "index configuration value is not a number");
    }
    value = parsed;
    m_log.debugLvl(5, "index configuration key [%s] = [%d]%s", key.c_str(), parsed,
                   fromFile ? "" : " (default)");
    return CUxError::Success();
}

}  // namespace Utils
}  // namespace I2
