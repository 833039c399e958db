// Ordered list of the typed arguments of a localised message. A value of one thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class ArgumentInfo {
public:
    static constexpr int kTextArgument = 11;

    ArgumentInfo() = default;
    ArgumentInfo(const ArgumentInfo&) = default;
    ArgumentInfo& operator=(const ArgumentInfo&) = default;

    // Appends a copy of the value. Only text arguments (a NUL-terminated text; null stands for an empty
    // one) are known; any other type is logged and refused.
    bool AddArgument(const void* value, int type);
    ArgumentInfo& operator<<(const char* text) {
        AddArgument(text, kTextArgument);
        return *this;
    }
    void Clear() { m_arguments.clear(); }

    size_t size() const { return m_arguments.size(); }
    int type(size_t i) const { return m_arguments.at(i).type; }
    // The argument as it appears in a rendered message.
    const std::string& text(size_t i) const { return m_arguments.at(i).text; }

    bool operator==(const ArgumentInfo& other) const = default;

private:
    struct Argument {
        int type;
        std::string text;
        bool operator==(const Argument&) const = default;
    };
    std::vector<Argument> m_arguments;
};
