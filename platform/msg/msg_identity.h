// Message identity: how a class name or a field name becomes its 24-bit code, and how a package
// number and a class code make a class tag. Pure constexpr functions; any thread, any time.
#pragma once

#include <cstdint>
#include <string_view>

// h = 31·h + c over the bytes of the name, modulo 2^32; the code is the low 24 bits. Four bytes a
// step (31^4 = 923521) shortens the chain of multiplications; the result is the same.
constexpr uint32_t msgNameCode(std::string_view name) {
    auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(name[k])); };
    uint32_t h = 0;
    size_t k = 0;
    for (; k + 4 <= name.size(); k += 4)
        h = h * 923521u + b(k) * 29791u + b(k + 1) * 961u + b(k + 2) * 31u + b(k + 3);
    for (; k < name.size(); ++k) h = 31u * h + b(k);
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
