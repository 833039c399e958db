// What a request's memo may hold (zydb::DatabaseMemo, required by CRequestReads::memo). A memo is kept
// with the database connection and carried on into later requests, of any thread and any caller, while
// the database is exactly as it was: what it holds must follow from the question and the database alone,
// never from the time, the caller, the locale or the registry. Its type may hold nothing else that a type
// can tell apart: numbers, enumerations, text, database values and row records, and standard containers,
// pairs, tuples, owning pointers and plain records of those; a class with state of its own only when it
// is declared here as holding what a read gave; no pointer or reference (but to a constant of the
// program), and nothing of the clock, a caller, a locale or the registry. A number's meaning is beyond a
// type: a time or a locale id kept as a number is refused by the words at each memo, not by the compiler.
// Header-only; compile time only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <locale>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

// What a memo may never hold: the clock, a caller (its request, task, return channel, token or
// messages), a locale or a localised message, the registry. Named by their bases, so that what derives
// from them is refused too.
class CHubClock;
class CNMessageBase;
class EvMessageContainer;
class EvReturnData;
class EvTask;
class ZYPlatformInfo;
struct TZetaTokenClaims;
struct timespec;
struct timeval;
struct tm;
namespace zydb {
class CRequestReads;
}

// Classes with state of their own that hold only what a read gave, and constants a memo may point at.
struct MsgFieldRef;
class ApplProperty;
class ZYClient;
namespace hubdb {
struct BackupTimeline;
}
namespace zydb {
struct DbValue;
}

namespace zydb {

namespace memo {

// A class with state of its own that a memo may hold: it holds only what a read of the database gave.
template <class T>
inline constexpr bool kHeldAsRead = false;
template <>
inline constexpr bool kHeldAsRead<DbValue> = true;  // one column's value
template <>
inline constexpr bool kHeldAsRead<ApplProperty> = true;  // one property row
// One client row (kept only when read outside a transaction, so its transaction is null).
template <>
inline constexpr bool kHeldAsRead<ZYClient> = true;
template <>
inline constexpr bool kHeldAsRead<hubdb::BackupTimeline> = true;  // the cycles of a subclient's files as read

// What a memo may point at: constants of the program, the same for every request.
template <class T>
inline constexpr bool kProgramConstant = false;
template <>
inline constexpr bool kProgramConstant<MsgFieldRef> = true;  // a field of the message catalogue

template <class Base, class T>
inline constexpr bool kFrom = std::is_base_of_v<Base, T>;

template <class T>
struct TIsTimePoint : std::false_type {};
template <class C, class D>
struct TIsTimePoint<std::chrono::time_point<C, D>> : std::true_type {};

template <class T>
inline constexpr bool kOutsideDatabase =
    kFrom<CHubClock, T> || TIsTimePoint<T>::value || std::is_same_v<T, std::chrono::system_clock> ||
    std::is_same_v<T, std::chrono::steady_clock> || std::is_same_v<T, timespec> ||
    std::is_same_v<T, timeval> || std::is_same_v<T, tm> || kFrom<CRequestReads, T> || kFrom<EvTask, T> ||
    kFrom<EvReturnData, T> || kFrom<CNMessageBase, T> || std::is_same_v<T, TZetaTokenClaims> ||
    kFrom<std::locale, T> || kFrom<EvMessageContainer, T> || kFrom<ZYPlatformInfo, T>;

// Kinds of what a memo may not hold, as bits.
enum : unsigned {
    kIndirect = 1,    // a pointer or a reference (to anything but a constant of the program)
    kOutside = 2,     // something of the clock, a caller, a locale or the registry
    kUndeclared = 4,  // a class with state of its own not declared as holding what a read gave
};

// A row record of a generated family: one member per column of the row read.
template <class T>
concept RowRecord = requires(std::size_t* n) {
    T::kColumnCount;
    T::columnInfo(n);
};

template <class T>
concept Container = requires(const T& c) {
    typename T::value_type;
    c.begin();
    c.end();
};

// What an owning pointer owns (void: it is none).
template <class T>
struct TOwned {
    using type = void;
};
template <class T>
struct TOwned<std::shared_ptr<T>> {
    using type = T;
};
template <class T, class D>
struct TOwned<std::unique_ptr<T, D>> {
    using type = T;
};

template <class T>
struct TIsOptional : std::false_type {};
template <class T>
struct TIsOptional<std::optional<T>> : std::true_type {};

// A plain record's fields, read by aggregate initialisation (how many initialisers it takes) and a
// structured binding (their types); never called, only named in types. A field is initialised from a
// value (a field that cannot be copied or moved) or from a reference (a field that is a reference). A C
// array field miscounts (its elements take initialisers of their own) and fails the binding: a memo
// holds a std::array.
struct TAnyValue {
    template <class T>
    operator T() const;
};
struct TAnyReference {
    template <class T>
    operator T&() const;
};
template <class Field, std::size_t>
using TFieldFor = Field;
// Whether T takes one initialiser of kind Field per index.
template <class T, class Field, std::size_t... I>
consteval bool takes(std::index_sequence<I...>) {
    return requires {
        T{TFieldFor<Field, I>{}...};
    };
}
inline constexpr std::size_t kMaxFields = 24;
// The most initialisers the record takes of one kind (a reference field takes one, but no fewer).
template <class T, class Field, std::size_t N = kMaxFields + 1>
consteval std::size_t fieldCount() {
    if constexpr (N == 0 || takes<T, Field>(std::make_index_sequence<N>{}))
        return N;
    else
        return fieldCount<T, Field, N - 1>();
}
template <class T>
consteval std::size_t fieldCount() {
    return std::max(fieldCount<T, TAnyValue>(), fieldCount<T, TAnyReference>());
}
// Never called: fieldTypes is only named in types.
template <class T>
T& lvalueOf() {
    std::abort();
}
template <class... F>
std::type_identity<std::tuple<std::remove_cv_t<F>...>> typesOf(F&...) {
    return {};
}
template <class T>
auto fieldTypes() {
    constexpr std::size_t n = fieldCount<T>();
    static_assert(n <= kMaxFields, "a memo's plain record holds at most 24 fields");
    if constexpr (n == 0) {
        return std::type_identity<std::tuple<>>{};
    } else if constexpr (n == 1) {
        auto& [a] = lvalueOf<T>();
        return typesOf(a);
    } else if constexpr (n == 2) {
        auto& [a, b] = lvalueOf<T>();
        return typesOf(a, b);
    } else if constexpr (n == 3) {
        auto& [a, b, c] = lvalueOf<T>();
        return typesOf(a, b, c);
    } else if constexpr (n == 4) {
        auto& [a, b, c, d] = lvalueOf<T>();
        return typesOf(a, b, c, d);
    } else if constexpr (n == 5) {
        auto& [a, b, c, d, e] = lvalueOf<T>();
        return typesOf(a, b, c, d, e);
    } else if constexpr (n == 6) {
        auto& [a, b, c, d, e, f] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f);
    } else if constexpr (n == 7) {
        auto& [a, b, c, d, e, f, g] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g);
    } else if constexpr (n == 8) {
        auto& [a, b, c, d, e, f, g, h] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h);
    } else if constexpr (n == 9) {
        auto& [a, b, c, d, e, f, g, h, i] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i);
    } else if constexpr (n == 10) {
        auto& [a, b, c, d, e, f, g, h, i, j] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j);
    } else if constexpr (n == 11) {
        auto& [a, b, c, d, e, f, g, h, i, j, k] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k);
    } else if constexpr (n == 12) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l);
    } else if constexpr (n == 13) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m);
    } else if constexpr (n == 14) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n);
    } else if constexpr (n == 15) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o);
    } else if constexpr (n == 16) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p);
    } else if constexpr (n == 17) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q);
    } else if constexpr (n == 18) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r);
    } else if constexpr (n == 19) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s);
    } else if constexpr (n == 20) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t);
    } else if constexpr (n == 21) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u);
    } else if constexpr (n == 22) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v);
    } else if constexpr (n == 23) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w);
    } else if constexpr (n == 24) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w, x] = lvalueOf<T>();
        return typesOf(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w, x);
    }
}

template <class T>
consteval unsigned refusalsOf();

// The refusals of every element of a tuple or a pair (0 for anything else).
template <class T>
struct TAllOf {
    static constexpr bool kTupleLike = false;
};
template <class... E>
struct TAllOf<std::tuple<E...>> {
    static constexpr bool kTupleLike = true;
    static constexpr unsigned value = (0u | ... | refusalsOf<E>());
};
template <class A, class B>
struct TAllOf<std::pair<A, B>> {
    static constexpr bool kTupleLike = true;
    static constexpr unsigned value = refusalsOf<A>() | refusalsOf<B>();
};

// What `T` holds that a memo may not, as kIndirect, kOutside and kUndeclared bits.
template <class T>
consteval unsigned refusalsOf() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_reference_v<T>) {
        return kIndirect | refusalsOf<std::remove_reference_t<T>>();
    } else if constexpr (std::is_pointer_v<U>) {
        using Pointee = std::remove_pointer_t<U>;
        if constexpr (std::is_const_v<Pointee> && kProgramConstant<std::remove_cv_t<Pointee>>)
            return 0;
        else if constexpr (std::is_class_v<Pointee> || std::is_pointer_v<Pointee>)
            return kIndirect | refusalsOf<Pointee>();
        else
            return kIndirect;
    } else if constexpr (std::is_member_pointer_v<U>) {
        return kIndirect;
    } else if constexpr (kOutsideDatabase<U>) {
        return kOutside;
    } else if constexpr (std::is_arithmetic_v<U> || std::is_enum_v<U> || std::is_same_v<U, std::string>) {
        return 0;
    } else if constexpr (kHeldAsRead<U> || RowRecord<U>) {
        return 0;
    } else if constexpr (std::is_same_v<U, std::string_view>) {
        return kIndirect;
    } else if constexpr (TAllOf<U>::kTupleLike) {
        return TAllOf<U>::value;
    } else if constexpr (TIsOptional<U>::value) {
        return refusalsOf<typename U::value_type>();
    } else if constexpr (!std::is_void_v<typename TOwned<U>::type>) {
        return refusalsOf<typename TOwned<U>::type>();
    } else if constexpr (Container<U>) {
        return refusalsOf<typename U::value_type>();
    } else if constexpr (std::is_aggregate_v<U> && std::is_class_v<U>) {
        // A reference member (or a const one: neither leaves the record assignable) is refused as such,
        // since its field's type as bound names what it refers to.
        return (std::is_move_assignable_v<U> ? 0u : unsigned{kIndirect}) |
               TAllOf<typename decltype(fieldTypes<U>())::type>::value;
    } else {
        return kUndeclared;
    }
}

}  // namespace memo

// The three rules, one by one, so that a refusal names the one broken.
template <class T>
concept MemoPointsNowhere = (memo::refusalsOf<T>() & memo::kIndirect) == 0;
template <class T>
concept MemoHoldsNothingOfClockCallerLocaleOrRegistry = (memo::refusalsOf<T>() & memo::kOutside) == 0;
template <class T>
concept MemoHoldsOnlyDeclaredClasses = (memo::refusalsOf<T>() & memo::kUndeclared) == 0;

// A type a request's memo may be.
template <class T>
concept DatabaseMemo = MemoPointsNowhere<T> && MemoHoldsNothingOfClockCallerLocaleOrRegistry<T> &&
    MemoHoldsOnlyDeclaredClasses<T>;

}  // namespace zydb
