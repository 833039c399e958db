// CExtendedOptions: the named options of a browse request's extended-option text ("name=value;"
// entries, the form the media agents read). Values are kept escaped so that any text, XML included,
// survives ('%' and ';' travel as "%25" and "%3B"). A local of one thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CExtendedOptions {
public:
    // Replaces the options by those of `text`; 0, or -1 for an entry without '=' (nothing kept then).
    int setOptions(const std::string& text);
    // Sets (or replaces) one option; 0, or -1 for an empty name or one holding '=' or ';'.
    int setOption(const std::string& name, const std::string& value);
    // The value of one option; false when it is not set.
    bool getOption(const std::string& name, std::string& value) const;
    // The text form of every option in the order they were first set; 0.
    int getOptions(std::string& out) const;

private:
    std::vector<std::pair<std::string, std::string>> m_options;  // name, value (unescaped)
};
