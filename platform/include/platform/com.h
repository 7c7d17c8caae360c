#pragma once
// COM-style object runtime: GUIDs, IUnknown and IDispatch with their helper types, BSTR, VARIANT,
// per-thread error information, class factories and creating an object by class id.
//
// Layout: interfaces are plain C++ classes with pure virtual members in the Windows order and no
// virtual destructor, so a vtable is exactly the COM vtable. Objects cross library boundaries
// only as interface pointers; ownership is by reference count.
//
// Where the state must be one per process (the error object of a thread, BSTR allocation), the
// implementation lives in the shared runtime library, so a program and every in-process server it
// loads see the same state. What is per library (the lock count of DllCanUnloadNow, the cache of
// loaded servers) is compiled into each library.
//
// Implementing objects: see platform/com_object.h; their IDispatch: platform/com_dispatch.h.
#include "platform/result.h"
#include "platform/text.h"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace platform {

// ---- Scalar types with their Windows widths -----------------------------------------------------
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using SCODE = std::int32_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

// ---- GUID -------------------------------------------------------------------------------------
struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
    friend constexpr std::strong_ordering operator<=>(const GUID& a, const GUID& b) {
        if (auto c = a.Data1 <=> b.Data1; c != 0)
            return c;
        if (auto c = a.Data2 <=> b.Data2; c != 0)
            return c;
        if (auto c = a.Data3 <=> b.Data3; c != 0)
            return c;
        for (int i = 0; i < 8; ++i)
            if (auto c = a.Data4[i] <=> b.Data4[i]; c != 0)
                return c;
        return std::strong_ordering::equal;
    }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

namespace detail {
constexpr int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
// Parses "8-4-4-4-12" hex digits, optionally in braces. False on any other shape.
template <typename Char> constexpr bool parse_guid_chars(const Char* s, std::size_t n, GUID& out) {
    if (n == 38) {
        if (s[0] != '{' || s[37] != '}')
            return false;
        ++s;
        n = 36;
    }
    if (n != 36)
        return false;
    std::uint8_t bytes[16] = {};
    std::size_t b = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-')
                return false;
            ++i;
            continue;
        }
        const auto c1 = s[i], c2 = s[i + 1];
        if (c1 > 0x7F || c2 > 0x7F)
            return false;
        const int hi = hex_digit(static_cast<char>(c1)), lo = hex_digit(static_cast<char>(c2));
        if (hi < 0 || lo < 0)
            return false;
        bytes[b++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    out.Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                (std::uint32_t(bytes[2]) << 8) | bytes[3];
    out.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    out.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        out.Data4[i] = bytes[8 + i];
    return true;
}
} // namespace detail

// A GUID from its text at compile time: make_guid("{38406515-73E9-4889-9421-8D0FF9EA5062}")
// (braces optional). A malformed literal does not compile.
consteval GUID make_guid(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0')
        ++n;
    GUID g;
    if (!detail::parse_guid_chars(text, n, g))
        throw "malformed GUID literal"; // not a constant expression: compile error
    return g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex, as the registry stores class ids.
Text to_text(const GUID& guid);
std::string to_string(const GUID& guid);
// Parses the 38-character form with braces or the 36-character form without; std::nullopt
// otherwise. Hex digits of either case.
std::optional<GUID> parse_guid(TextView text);
std::optional<GUID> parse_guid(std::string_view text);

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};

// ---- Interfaces -------------------------------------------------------------------------------
// Each interface names its id as `kIid`; iid_of<I>() reads it.
template <typename I> constexpr const IID& iid_of() {
    return I::kIid;
}

struct IUnknown {
    static constexpr IID kIid = make_guid("00000000-0000-0000-C000-000000000046");
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    static constexpr IID kIid = make_guid("00000001-0000-0000-C000-000000000046");
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

  protected:
    ~IClassFactory() = default;
};

// Type information is not provided by objects of this runtime (GetTypeInfoCount reports 0); the
// interface exists so IDispatch keeps its shape.
struct ITypeInfo : IUnknown {
    static constexpr IID kIid = make_guid("00020401-0000-0000-C000-000000000046");

  protected:
    ~ITypeInfo() = default;
};

// ---- BSTR ---------------------------------------------------------------------------------------
// A counted UTF-16 string: a 32-bit byte length stored just before the characters, and a
// terminating 0 after them. A null BSTR is the empty string. Whoever receives a BSTR frees it.
using BSTR = OLECHAR*;

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length); // text may be null: zero-filled
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// Helpers over the same allocator.
BSTR alloc_bstr(TextView text); // null only when out of memory
inline TextView bstr_view(BSTR text) {
    return text ? TextView(text, SysStringLen(text)) : TextView();
}

// Owns one BSTR (frees it on destruction).
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(TextView text) : p_(alloc_bstr(text)) {}
    ~Bstr() { SysFreeString(p_); }
    Bstr(const Bstr& other) : p_(other.p_ ? alloc_bstr(other.view()) : nullptr) {}
    Bstr(Bstr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Bstr& operator=(Bstr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    static Bstr attach(BSTR p) {
        Bstr b;
        b.p_ = p;
        return b;
    }
    BSTR get() const { return p_; }
    BSTR detach() { return std::exchange(p_, nullptr); }
    // Frees the current string and returns the slot for an out argument.
    BSTR* put() {
        reset();
        return &p_;
    }
    void reset() { SysFreeString(std::exchange(p_, nullptr)); }
    bool is_null() const { return p_ == nullptr; }
    TextView view() const { return bstr_view(p_); }
    Text text() const { return Text(view()); }

  private:
    BSTR p_ = nullptr;
};

// ---- VARIANT_BOOL -----------------------------------------------------------------------------
// Automation boolean: only VARIANT_TRUE (all 16 bits set) is true.
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
inline constexpr VARIANT_BOOL to_variant_bool(bool value) {
    return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// ---- VARIANT ------------------------------------------------------------------------------------
struct IDispatch;

using VARTYPE = std::uint16_t;
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        std::int8_t cVal;
        BYTE bVal;
        std::int16_t iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        std::int64_t llVal;
        std::uint64_t ullVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        std::int8_t* pcVal;
        BYTE* pbVal;
        std::int16_t* piVal;
        USHORT* puiVal;
        LONG* plVal;
        ULONG* pulVal;
        INT* pintVal;
        UINT* puintVal;
        std::int64_t* pllVal;
        std::uint64_t* pullVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        VARIANT* pvarVal;
        void* byref;
    };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* v);
// Frees what the variant owns (a BSTR, an interface reference) and leaves it VT_EMPTY. A
// by-reference variant owns nothing. Returns DISP_E_BADVARTYPE for an unknown type.
HRESULT VariantClear(VARIANT* v);
// Copies `source` into `dest` (cleared first): strings are duplicated, interfaces AddRef'd.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* source);
// Converts `source` (a by-reference variant is read through) to `type` among the integer types,
// VT_BOOL, VT_BSTR (decimal text, booleans as "True"/"False"), VT_DISPATCH/VT_UNKNOWN (through
// QueryInterface) and VT_EMPTY. Text is parsed as a decimal number or "True"/"False". Failures:
// DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW. `dest` may equal `source`.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, WORD flags, VARTYPE type);

// Owns one VARIANT (cleared on destruction).
class Variant : public VARIANT {
  public:
    Variant() { VariantInit(this); }
    ~Variant() { VariantClear(this); }
    Variant(const Variant& other) : Variant() { VariantCopy(this, &other); }
    Variant& operator=(const Variant& other) {
        if (this != &other)
            VariantCopy(this, &other);
        return *this;
    }
    static Variant from_i4(LONG v);
    static Variant from_ui4(ULONG v);
    static Variant from_bool(bool v);
    static Variant from_text(TextView text);
    static Variant from_i8(std::int64_t v);
};

// ---- IDispatch --------------------------------------------------------------------------------
struct DISPPARAMS {
    VARIANTARG* rgvarg;        // arguments in reverse order
    DISPID* rgdispidNamedArgs; // ids of the named arguments (the first cNamedArgs of rgvarg)
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};
// Frees the three strings and zeroes the record.
void clear_excepinfo(EXCEPINFO* info);

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

struct IDispatch : IUnknown {
    static constexpr IID kIid = make_guid("00020400-0000-0000-C000-000000000046");
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                  DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep_info, UINT* arg_error) = 0;

  protected:
    ~IDispatch() = default;
};

// ---- Error information ----------------------------------------------------------------------
struct IErrorInfo : IUnknown {
    static constexpr IID kIid = make_guid("1CF2B120-547D-101B-8E65-08002B2BD119");
    virtual HRESULT GetGUID(GUID* guid) = 0;
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* help_file) = 0;
    virtual HRESULT GetHelpContext(DWORD* help_context) = 0;

  protected:
    ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
    static constexpr IID kIid = make_guid("22F03340-547D-101B-8E65-08002B2BD119");
    virtual HRESULT SetGUID(REFGUID guid) = 0;
    virtual HRESULT SetSource(LPOLESTR source) = 0;
    virtual HRESULT SetDescription(LPOLESTR description) = 0;
    virtual HRESULT SetHelpFile(LPOLESTR help_file) = 0;
    virtual HRESULT SetHelpContext(DWORD help_context) = 0;

  protected:
    ~ICreateErrorInfo() = default;
};

struct ISupportErrorInfo : IUnknown {
    static constexpr IID kIid = make_guid("DF0B3D60-548F-101B-8E65-08002B2BD119");
    // S_OK when the object reports error information for calls on `iid`, else S_FALSE.
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;

  protected:
    ~ISupportErrorInfo() = default;
};

// A new, empty error object (it also answers IErrorInfo).
HRESULT CreateErrorInfo(ICreateErrorInfo** out);
// Replaces the calling thread's error object (null clears it). `reserved` must be 0.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Hands the calling thread's error object to the caller and clears the slot; S_FALSE with a null
// result when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out);

// Sets the calling thread's error object to `description` from `source` for interface `iid` and
// returns `hr` (for `return report_error(...)` in a failing method).
HRESULT report_error(REFIID iid, TextView source, TextView description, HRESULT hr);

// ---- Smart pointer ----------------------------------------------------------------------------
// One counted reference to an interface (or an object with IUnknown methods).
template <typename T> class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference to `p`.
    ComPtr(T* p) : p_(p) {
        if (p_)
            p_->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a reference the caller owns (no AddRef).
    static ComPtr attach(T* p) {
        ComPtr c;
        c.p_ = p;
        return c;
    }
    T* detach() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr))
            p->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Releases the current reference and returns the slot for an out argument.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

    // QueryInterface for U through this pointer.
    template <typename U> HRESULT query(ComPtr<U>& out) const {
        if (!p_) {
            out.reset();
            return E_POINTER;
        }
        return p_->QueryInterface(iid_of<U>(), out.put_void());
    }
    template <typename U> ComPtr<U> as() const {
        ComPtr<U> out;
        query(out);
        return out;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

  private:
    T* p_ = nullptr;
};

// ---- Creating objects by class id -------------------------------------------------------------
// The entry points an in-process server library exports (C linkage, these names).
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

// Creates an object of class `clsid` (CoCreateInstance, in-process servers only): the library
// named by the default value of HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 is loaded (once;
// it stays cached), its DllGetClassObject gives the class factory, and the factory creates the
// object, aggregated into `outer` when that is given (then `iid` must be IUnknown).
// Results: REGDB_E_CLASSNOTREG when the class is not registered, the system error as HRESULT
// (0x8007007E) when the library does not load, CO_E_ERRORINDLL when it lacks DllGetClassObject,
// else what the library's factory returns (CLASS_E_CLASSNOTAVAILABLE, CLASS_E_NOAGGREGATION,
// E_NOINTERFACE, ...). `*object` is null on failure.
HRESULT create_instance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** object);
template <typename I> HRESULT create_instance(REFCLSID clsid, IUnknown* outer, ComPtr<I>& out) {
    return create_instance(clsid, outer, iid_of<I>(), out.put_void());
}
// The class factory of `clsid` (CoGetClassObject), from the same cache of libraries.
HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** object);

// Asks every cached library whether it can be unloaded (DllCanUnloadNow) and unloads those
// answering S_OK (CoFreeUnusedLibraries). Returns how many were unloaded.
std::size_t free_unused_libraries();

// Loads the library at `path` and calls its DllRegisterServer (or DllUnregisterServer), as an
// installer does. Results as create_instance for loading, else the export's result.
HRESULT register_server(const std::filesystem::path& path, bool unregister = false);

} // namespace platform

template <> struct std::hash<platform::GUID> {
    std::size_t operator()(const platform::GUID& g) const noexcept {
        std::uint64_t h = 1469598103934665603ull;
        auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
        mix(g.Data1);
        mix(g.Data2);
        mix(g.Data3);
        for (auto b : g.Data4)
            mix(b);
        return static_cast<std::size_t>(h);
    }
};
