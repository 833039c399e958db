// Message identity: how a class name or a field name becomes its 24-bit code, and how a package
// number and a class code make a class tag. Pure constexpr functions; any thread, any time.
#pragma once

#include <cstdint>
#include <string_view>

// h = 31·h + c over the bytes of the name, modulo 2^32; the code is the low 24 bits.
constexpr uint32_t msgNameCode(std::string_view name) {
    uint32_t h = 0;
    for (char c : name) h = 31u * h + static_cast<unsigned char>(c);
    return h & 0xFFFFFFu;
}

constexpr uint32_t msgTag(int package, uint32_t classCode) {
    return (static_cast<uint32_t>(package) << 24) | (classCode & 0xFFFFFFu);
}

constexpr int msgTagPackage(uint32_t tag) {
    return static_cast<int>(tag >> 24);
}

static_assert(msgNameCode("BrowseFlags") == 0xd585fd);
static_assert(msgTag(100, msgNameCode("BrowseRequest")) == 0x644c8485);
static_assert(msgNameCode("path") == 0x346425);
