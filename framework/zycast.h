// zycast: casts that pass 64-bit values to printf-style formats with the matching conversion
// ("%lld", "%llu", "%ld"). Header only; any thread.
#pragma once

namespace zycast {

template <typename T>
constexpr long long lld(T value) {
    return static_cast<long long>(value);
}

template <typename T>
constexpr unsigned long long llu(T value) {
    return static_cast<unsigned long long>(value);
}

template <typename T>
constexpr long ld(T value) {
    return static_cast<long>(value);
}

}  // namespace zycast
