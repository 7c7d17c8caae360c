#pragma once
// How the settings objects hand the values of their configuration records over their automation
// interfaces. A getter reads one record value through the record's own getter and converts it
// into the caller's out argument; a setter converts the automation value and stores it through
// the record's own setter. The conversions are the few the interfaces use:
//   text    a new string, also for an empty value (AsText), or null for an empty value
//           (AsTextOrNull);
//   flag    a stored 1 reads as VARIANT_TRUE, anything else as VARIANT_FALSE (AsFlag); only
//           VARIANT_TRUE stores 1 (FlagOf);
//   number  copied into the out argument's type (AsNumber).
#include "ScModule.h"

#include <type_traits>

// Converts a stored value into an out argument; its result is the member's result.
template <typename Stored, typename Out>
using ValueConverter = platform::HRESULT (*)(std::type_identity_t<Stored>, Out*);

inline platform::HRESULT AsText(const platform::Text& value, platform::BSTR* out) {
    *out = platform::alloc_bstr(value);
    return *out ? platform::S_OK : platform::E_OUTOFMEMORY;
}

inline platform::HRESULT AsTextOrNull(const platform::Text& value, platform::BSTR* out) {
    *out = nullptr;
    return value.empty() ? platform::S_OK : AsText(value, out);
}

inline platform::HRESULT AsFlag(int value, platform::VARIANT_BOOL* out) {
    *out = platform::to_variant_bool(value == 1);
    return platform::S_OK;
}

template <typename Number, typename Out> platform::HRESULT AsNumber(Number value, Out* out) {
    *out = static_cast<Out>(value);
    return platform::S_OK;
}

constexpr int FlagOf(platform::VARIANT_BOOL value) {
    return IsVariantTrue(value) ? 1 : 0;
}

// `getter` of `record` into *pVal through `convert`; E_POINTER without an out argument.
template <typename Record, typename Stored, typename Out>
platform::HRESULT ReadValue(const std::type_identity_t<Record>& record,
                            Stored (Record::*getter)() const, Out* pVal,
                            ValueConverter<Stored, Out> convert) {
    if (!pVal)
        return platform::E_POINTER;
    return convert((record.*getter)(), pVal);
}

// `value` into `record` through `setter`.
template <typename Record, typename Stored>
platform::HRESULT WriteValue(std::type_identity_t<Record>& record, void (Record::*setter)(Stored),
                             std::type_identity_t<Stored> value) {
    (record.*setter)(value);
    return platform::S_OK;
}
