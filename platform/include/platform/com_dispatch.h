#pragma once
// IDispatch for dual interfaces from a table of members.
//
// Each member has a name, a dispatch id, a kind (method, property get, property put), its
// argument kinds in declaration order and an invoker that calls the interface. The table is
// usually built from the interface's member functions, whose signatures give the argument kinds:
//
//     static const DispatchTable& dispatch_table() {
//         static const DispatchTable table{
//             dispatch_get<&IThing::get_Name>(u"Name", 1),
//             dispatch_put<&IThing::put_Name>(u"Name", 1),
//             dispatch_method<&IThing::Connect>(u"Connect", 8,
//                                               {u"ulWaitTime", u"bForce", u"pbstrIPAddress"}),
//         };
//         return table;
//     }
//
// Signature types and argument kinds: BSTR (text), LONG, ULONG, USHORT, LONG_PTR/ULONG_PTR
// (64-bit integers here), VARIANT_BOOL (boolean; the only 16-bit signed type), IDispatch*,
// IUnknown*, VARIANT; a pointer to one of them (or to an interface pointer) is an out argument.
// Arrays and records are not bound automatically: write the invoker by hand with DispatchCall.
//
// Invoke semantics:
// - GetIDsOfNames compares names without regard to ASCII case; argument names give their
//   zero-based position.
// - In arguments are converted to the declared kind (VariantChangeType); out arguments must be
//   passed by reference (VT_BYREF with the declared type, or VT_BYREF|VT_VARIANT). A string or
//   interface already in a by-reference out argument is freed before the new value is stored.
// - A property get returns its value in `result`.
// - A failing member makes Invoke return DISP_E_EXCEPTION with EXCEPINFO filled (scode, and the
//   source and description of the thread's error information) when the caller passed EXCEPINFO,
//   else the member's own result. Success codes (S_FALSE and other positive values) are returned
//   unchanged.
#include "platform/com.h"

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform {

enum class ArgKind : std::uint8_t {
    Text,
    Int32,
    UInt32,
    UInt16,
    Int64,
    UInt64,
    Bool,
    Dispatch,
    Unknown,
    Variant
};
enum class MemberKind : std::uint8_t { Method, PropertyGet, PropertyPut };

// The VARIANT type of an argument kind.
VARTYPE vartype_of(ArgKind kind);

struct ArgDesc {
    ArgKind kind;
    bool out = false;
    Text name;
};

// The arguments of one call, converted to their declared kinds, for an invoker. Index i is the
// i-th argument in declaration order. Out slots start null/zero; the invoker fills them through
// the out_ accessors, and Invoke hands them to the caller afterwards.
class DispatchCall {
  public:
    explicit DispatchCall(const std::vector<ArgDesc>& descs);
    ~DispatchCall();
    DispatchCall(const DispatchCall&) = delete;
    DispatchCall& operator=(const DispatchCall&) = delete;

    std::size_t size() const { return slots_.size(); }
    VARIANT& slot(std::size_t i) { return slots_[i]; }

    BSTR text(std::size_t i) { return slots_[i].bstrVal; }
    LONG i32(std::size_t i) { return slots_[i].lVal; }
    ULONG u32(std::size_t i) { return slots_[i].ulVal; }
    USHORT u16(std::size_t i) { return slots_[i].uiVal; }
    std::int64_t i64(std::size_t i) { return slots_[i].llVal; }
    std::uint64_t u64(std::size_t i) { return slots_[i].ullVal; }
    VARIANT_BOOL boolean(std::size_t i) { return slots_[i].boolVal; }
    IDispatch* dispatch(std::size_t i) { return slots_[i].pdispVal; }
    IUnknown* unknown(std::size_t i) { return slots_[i].punkVal; }
    VARIANT* variant(std::size_t i) { return slots_[i].pvarVal; }

    BSTR* out_text(std::size_t i) { return &slots_[i].bstrVal; }
    LONG* out_i32(std::size_t i) { return &slots_[i].lVal; }
    ULONG* out_u32(std::size_t i) { return &slots_[i].ulVal; }
    USHORT* out_u16(std::size_t i) { return &slots_[i].uiVal; }
    std::int64_t* out_i64(std::size_t i) { return &slots_[i].llVal; }
    std::uint64_t* out_u64(std::size_t i) { return &slots_[i].ullVal; }
    VARIANT_BOOL* out_bool(std::size_t i) { return &slots_[i].boolVal; }
    // Takes over a reference (may be null) as the value of out slot i.
    void set_out_dispatch(std::size_t i, IDispatch* p) { slots_[i].pdispVal = p; }
    void set_out_unknown(std::size_t i, IUnknown* p) { slots_[i].punkVal = p; }
    VARIANT* out_variant(std::size_t i) { return slots_[i].pvarVal; }

  private:
    std::vector<VARIANT> slots_;
    std::vector<VARIANT> variants_; // storage of Variant-kind arguments
};

// Calls the member on `object` (the dual interface pointer) with the converted arguments.
using DispatchInvoker = HRESULT (*)(void* object, DispatchCall& call);

struct DispatchMember {
    Text name;
    DISPID dispid;
    MemberKind kind;
    std::vector<ArgDesc> args; // for a property get the last one is the value (out)
    DispatchInvoker invoke;
};

class DispatchTable {
  public:
    DispatchTable(std::initializer_list<DispatchMember> members) : members_(members) {}
    const std::vector<DispatchMember>& members() const { return members_; }

    HRESULT get_ids_of_names(LPOLESTR* names, UINT count, DISPID* ids) const;
    // `support` (may be null) decides whether error information is copied into EXCEPINFO.
    HRESULT invoke(void* object, ISupportErrorInfo* support, REFIID dual_iid, DISPID member,
                   WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep_info,
                   UINT* arg_error) const;

  private:
    std::vector<DispatchMember> members_;
};

// ---- Binding member functions -----------------------------------------------------------------
namespace detail {

template <typename T> struct arg_traits { static constexpr bool supported = false; };
#define PLATFORM_DISPATCH_ARG(Type, Kind, Getter, OutGetter)                                       \
    template <> struct arg_traits<Type> {                                                          \
        static constexpr bool supported = true;                                                    \
        static constexpr ArgKind kind = ArgKind::Kind;                                             \
        static constexpr bool out = false;                                                         \
        static Type get(DispatchCall& c, std::size_t i) { return c.Getter(i); }                    \
    };                                                                                             \
    template <> struct arg_traits<Type*> {                                                         \
        static constexpr bool supported = true;                                                    \
        static constexpr ArgKind kind = ArgKind::Kind;                                             \
        static constexpr bool out = true;                                                          \
        static Type* get(DispatchCall& c, std::size_t i) { return c.OutGetter(i); }                \
    };
PLATFORM_DISPATCH_ARG(BSTR, Text, text, out_text)
PLATFORM_DISPATCH_ARG(LONG, Int32, i32, out_i32)
PLATFORM_DISPATCH_ARG(ULONG, UInt32, u32, out_u32)
PLATFORM_DISPATCH_ARG(USHORT, UInt16, u16, out_u16)
PLATFORM_DISPATCH_ARG(std::int64_t, Int64, i64, out_i64)
PLATFORM_DISPATCH_ARG(std::uint64_t, UInt64, u64, out_u64)
PLATFORM_DISPATCH_ARG(VARIANT_BOOL, Bool, boolean, out_bool)
#undef PLATFORM_DISPATCH_ARG

template <> struct arg_traits<VARIANT> {
    static constexpr bool supported = true;
    static constexpr ArgKind kind = ArgKind::Variant;
    static constexpr bool out = false;
    static VARIANT get(DispatchCall& c, std::size_t i) { return *c.variant(i); }
};
template <> struct arg_traits<VARIANT*> {
    static constexpr bool supported = true;
    static constexpr ArgKind kind = ArgKind::Variant;
    static constexpr bool out = true;
    static VARIANT* get(DispatchCall& c, std::size_t i) { return c.out_variant(i); }
};

// Interface pointers in, and interface pointers out (any interface type).
template <typename I>
requires std::is_base_of_v<IUnknown, I>
struct arg_traits<I*> {
    static constexpr bool supported = true;
    static constexpr ArgKind kind =
        std::is_base_of_v<IDispatch, I> ? ArgKind::Dispatch : ArgKind::Unknown;
    static constexpr bool out = false;
};
template <typename I>
requires std::is_base_of_v<IUnknown, I>
struct arg_traits<I**> {
    static constexpr bool supported = true;
    static constexpr ArgKind kind =
        std::is_base_of_v<IDispatch, I> ? ArgKind::Dispatch : ArgKind::Unknown;
    static constexpr bool out = true;
};

// Holds what an argument needs during the call (interface out pointers get a typed slot).
template <typename T> struct ArgHolder {
    T get(DispatchCall& c, std::size_t i) { return arg_traits<T>::get(c, i); }
    void commit(DispatchCall&, std::size_t) {}
};
// An interface argument is asked for the declared interface; the reference lasts the call.
template <typename I>
requires std::is_base_of_v<IUnknown, I>
struct ArgHolder<I*> {
    ComPtr<I> value;
    I* get(DispatchCall& c, std::size_t i) {
        if (IUnknown* p = c.unknown(i))
            p->QueryInterface(I::kIid, value.put_void());
        return value.get();
    }
    void commit(DispatchCall&, std::size_t) {}
};
template <typename I>
requires std::is_base_of_v<IUnknown, I>
struct ArgHolder<I**> {
    I* value = nullptr;
    I** get(DispatchCall&, std::size_t) { return &value; }
    void commit(DispatchCall& c, std::size_t i) {
        if constexpr (std::is_base_of_v<IDispatch, I>)
            c.set_out_dispatch(i, static_cast<IDispatch*>(value));
        else
            c.set_out_unknown(i, static_cast<IUnknown*>(value));
    }
};

template <typename> struct member_traits;
template <typename C, typename... Args> struct member_traits<HRESULT (C::*)(Args...)> {
    using Class = C;
    static constexpr std::size_t arity = sizeof...(Args);
    static std::vector<ArgDesc> descs(std::initializer_list<const char16_t*> names) {
        static_assert((arg_traits<Args>::supported && ...),
                      "argument type not bound automatically: write the invoker by hand");
        std::vector<ArgDesc> out{ArgDesc{arg_traits<Args>::kind, arg_traits<Args>::out, {}}...};
        std::size_t i = 0;
        for (const char16_t* name : names)
            if (i < out.size())
                out[i++].name = name;
        return out;
    }
    template <auto Method> static HRESULT invoke(void* object, DispatchCall& call) {
        return invoke_with<Method>(static_cast<C*>(object), call,
                                   std::index_sequence_for<Args...>{});
    }
    template <auto Method, std::size_t... I>
    static HRESULT invoke_with(C* object, DispatchCall& call, std::index_sequence<I...>) {
        std::tuple<ArgHolder<Args>...> holders;
        const HRESULT hr = (object->*Method)(std::get<I>(holders).get(call, I)...);
        (std::get<I>(holders).commit(call, I), ...);
        return hr;
    }
};

} // namespace detail

template <auto Method>
DispatchMember dispatch_member(const char16_t* name, DISPID dispid, MemberKind kind,
                               std::initializer_list<const char16_t*> arg_names = {}) {
    using Traits = detail::member_traits<decltype(Method)>;
    return DispatchMember{name, dispid, kind, Traits::descs(arg_names),
                          &Traits::template invoke<Method>};
}
template <auto Method>
DispatchMember dispatch_method(const char16_t* name, DISPID dispid,
                               std::initializer_list<const char16_t*> arg_names = {}) {
    return dispatch_member<Method>(name, dispid, MemberKind::Method, arg_names);
}
template <auto Method> DispatchMember dispatch_get(const char16_t* name, DISPID dispid) {
    static_assert(detail::member_traits<decltype(Method)>::arity >= 1, "a getter has a value");
    return dispatch_member<Method>(name, dispid, MemberKind::PropertyGet);
}
template <auto Method> DispatchMember dispatch_put(const char16_t* name, DISPID dispid) {
    static_assert(detail::member_traits<decltype(Method)>::arity >= 1, "a setter has a value");
    return dispatch_member<Method>(name, dispid, MemberKind::PropertyPut);
}

// ---- The IDispatch half of a dual interface -------------------------------------------------
// List DualInterface<Self, IThing> in ComObject's interfaces; Self provides
// `static const DispatchTable& dispatch_table()`. Error information goes into EXCEPINFO when Self
// also implements ISupportErrorInfo and answers S_OK for IThing.
template <typename Self, typename Dual> class DualInterface : public Dual {
  public:
    using interface_type = Dual;

    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_INVALIDARG;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (iid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        return Self::dispatch_table().get_ids_of_names(names, count, ids);
    }
    HRESULT Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep_info, UINT* arg_error) override {
        if (iid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        Self* self = static_cast<Self*>(this);
        ISupportErrorInfo* support = nullptr;
        if constexpr (std::is_base_of_v<ISupportErrorInfo, Self>)
            support = static_cast<ISupportErrorInfo*>(self);
        return Self::dispatch_table().invoke(static_cast<Dual*>(self), support, Dual::kIid, member,
                                             flags, params, result, excep_info, arg_error);
    }
};

} // namespace platform
