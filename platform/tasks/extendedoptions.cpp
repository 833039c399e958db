#include "platform/tasks/extendedoptions.h"

namespace {

std::string escape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '%')
            out += "%25";
        else if (c == ';')
            out += "%3B";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (value.compare(i, 3, "%3B") == 0) {
            out += ';';
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

}  // namespace

int CExtendedOptions::setOptions(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> parsed;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty()) continue;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) return -1;
        parsed.emplace_back(entry.substr(0, eq), unescape(entry.substr(eq + 1)));
    }
    m_options = std::move(parsed);
    return 0;
}

int CExtendedOptions::setOption(const std::string& name, const std::string& value) {
    if (name.empty() || name.find_first_of("=;") != std::string::npos) return -1;
    for (auto& option : m_options) {
        if (option.first == name) {
            option.second = value;
            return 0;
        }
    }
    m_options.emplace_back(name, value);
    return 0;
}

bool CExtendedOptions::getOption(const std::string& name, std::string& value) const {
    for (const auto& option : m_options) {
        if (option.first == name) {
            value = option.second;
            return true;
        }
    }
    return false;
}

int CExtendedOptions::getOptions(std::string& out) const {
    std::string text;
    for (const auto& option : m_options) text += option.first + "=" + escape(option.second) + ";";
    out = std::move(text);
    return 0;
}
