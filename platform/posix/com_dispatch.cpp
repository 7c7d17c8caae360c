// IDispatch over a table of members: name lookup and Invoke with argument conversion.
#include "platform/com_dispatch.h"

#include <cstring>

namespace platform {

VARTYPE vartype_of(ArgKind kind) {
    switch (kind) {
    case ArgKind::Text:
        return VT_BSTR;
    case ArgKind::Int32:
        return VT_I4;
    case ArgKind::UInt32:
        return VT_UI4;
    case ArgKind::UInt16:
        return VT_UI2;
    case ArgKind::Int64:
        return VT_I8;
    case ArgKind::UInt64:
        return VT_UI8;
    case ArgKind::Bool:
        return VT_BOOL;
    case ArgKind::Dispatch:
        return VT_DISPATCH;
    case ArgKind::Unknown:
        return VT_UNKNOWN;
    case ArgKind::Variant:
        return VT_VARIANT;
    }
    return VT_EMPTY;
}

DispatchCall::DispatchCall(const std::vector<ArgDesc>& descs) : slots_(descs.size()) {
    variants_.resize(descs.size()); // never resized again: slots point into it
    for (std::size_t i = 0; i < descs.size(); ++i) {
        VariantInit(&slots_[i]);
        VariantInit(&variants_[i]);
        if (descs[i].kind == ArgKind::Variant) {
            slots_[i].vt = VT_BYREF | VT_VARIANT;
            slots_[i].pvarVal = &variants_[i];
        } else {
            slots_[i].vt = vartype_of(descs[i].kind);
        }
    }
}

DispatchCall::~DispatchCall() {
    for (auto& v : slots_)
        VariantClear(&v);
    for (auto& v : variants_)
        VariantClear(&v);
}

namespace {

char16_t fold(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool same_name(TextView a, const OLECHAR* b) {
    if (!b)
        return false;
    std::size_t i = 0;
    for (; i < a.size(); ++i)
        if (b[i] == 0 || fold(a[i]) != fold(b[i]))
            return false;
    return b[i] == 0;
}

// Moves the value of an out slot into the caller's by-reference argument.
void store_out(VARIANT& slot, VARIANT& target) {
    if (target.vt == (VT_BYREF | VT_VARIANT)) {
        VariantClear(target.pvarVal);
        if (slot.vt == (VT_BYREF | VT_VARIANT)) {
            *target.pvarVal = *slot.pvarVal;
            VariantInit(slot.pvarVal);
        } else {
            *target.pvarVal = slot;
        }
        VariantInit(&slot);
        return;
    }
    switch (slot.vt) {
    case VT_BSTR:
        SysFreeString(*target.pbstrVal);
        *target.pbstrVal = slot.bstrVal;
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        if (*target.ppunkVal)
            (*target.ppunkVal)->Release();
        *target.ppunkVal = slot.punkVal;
        break;
    case VT_I4:
        *target.plVal = slot.lVal;
        break;
    case VT_UI4:
        *target.pulVal = slot.ulVal;
        break;
    case VT_UI2:
        *target.puiVal = slot.uiVal;
        break;
    case VT_I8:
        *target.pllVal = slot.llVal;
        break;
    case VT_UI8:
        *target.pullVal = slot.ullVal;
        break;
    case VT_BOOL:
        *target.pboolVal = slot.boolVal;
        break;
    default:
        break;
    }
    VariantInit(&slot);
}

} // namespace

HRESULT DispatchTable::get_ids_of_names(LPOLESTR* names, UINT count, DISPID* ids) const {
    if (!names || !ids || count == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    // The member; several entries share a name (get and put), the one with argument names helps
    // with the names that follow.
    const DispatchMember* found = nullptr;
    for (const auto& m : members_) {
        if (!same_name(m.name, names[0]))
            continue;
        if (!found || (found->kind != MemberKind::Method && m.kind == MemberKind::Method))
            found = &m;
    }
    if (!found)
        return DISP_E_UNKNOWNNAME;
    ids[0] = found->dispid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        for (std::size_t a = 0; a < found->args.size(); ++a)
            if (!found->args[a].name.empty() && same_name(found->args[a].name, names[i]))
                ids[i] = static_cast<DISPID>(a);
        if (ids[i] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchTable::invoke(void* object, ISupportErrorInfo* support, REFIID dual_iid,
                              DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* excep_info, UINT* arg_error) const {
    // Choose the entry for the requested kind of access.
    const DispatchMember* m = nullptr;
    auto find = [&](MemberKind kind) {
        for (const auto& entry : members_)
            if (entry.dispid == member && entry.kind == kind)
                return &entry;
        return static_cast<const DispatchMember*>(nullptr);
    };
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        m = find(MemberKind::PropertyPut);
    else {
        if (flags & DISPATCH_PROPERTYGET)
            m = find(MemberKind::PropertyGet);
        if (!m && (flags & DISPATCH_METHOD))
            m = find(MemberKind::Method);
    }
    if (!m)
        return DISP_E_MEMBERNOTFOUND;

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params)
        params = &none;
    if (params->cNamedArgs > params->cArgs || (params->cArgs && !params->rgvarg) ||
        (params->cNamedArgs && !params->rgdispidNamedArgs))
        return E_INVALIDARG;

    const std::size_t declared = m->args.size();
    const bool has_value = m->kind == MemberKind::PropertyGet && declared > 0;
    const std::size_t expected = has_value ? declared - 1 : declared;
    const auto fail_arg = [&](UINT index, HRESULT hr) {
        if (arg_error)
            *arg_error = index;
        return hr;
    };

    // Where each declared argument comes from (an index into rgvarg).
    std::vector<long> source(expected, -1);
    for (UINT j = 0; j < params->cNamedArgs; ++j) {
        const DISPID id = params->rgdispidNamedArgs[j];
        long pos = id;
        if (id == DISPID_PROPERTYPUT) {
            if (m->kind != MemberKind::PropertyPut)
                return fail_arg(j, DISP_E_PARAMNOTFOUND);
            pos = static_cast<long>(expected) - 1;
        }
        if (pos < 0 || static_cast<std::size_t>(pos) >= expected || source[pos] != -1)
            return fail_arg(j, DISP_E_PARAMNOTFOUND);
        source[pos] = j;
    }
    const UINT positional = params->cArgs - params->cNamedArgs;
    if (positional > expected)
        return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < positional; ++i) {
        if (source[i] != -1)
            return fail_arg(params->cArgs - 1 - i, DISP_E_PARAMNOTFOUND);
        source[i] = params->cArgs - 1 - i;
    }
    for (std::size_t pos = 0; pos < expected; ++pos)
        if (source[pos] == -1)
            return params->cNamedArgs ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;

    // Convert the in arguments and check the out arguments.
    DispatchCall call(m->args);
    for (std::size_t pos = 0; pos < expected; ++pos) {
        const ArgDesc& arg_info = m->args[pos];
        VARIANT& given = params->rgvarg[source[pos]];
        const auto index = static_cast<UINT>(source[pos]);
        const VARTYPE vt = vartype_of(arg_info.kind);
        if (arg_info.out) {
            const bool fits =
                (given.vt == (VT_BYREF | VT_VARIANT) ||
                 (arg_info.kind != ArgKind::Variant && given.vt == (VT_BYREF | vt))) &&
                given.byref != nullptr;
            if (!fits)
                return fail_arg(index, DISP_E_TYPEMISMATCH);
            continue;
        }
        if (arg_info.kind == ArgKind::Variant) {
            const VARIANT* value = given.vt == (VT_BYREF | VT_VARIANT) ? given.pvarVal : &given;
            const HRESULT hr = VariantCopy(call.slot(pos).pvarVal, value);
            if (failed(hr))
                return fail_arg(index, hr);
            continue;
        }
        const HRESULT hr = VariantChangeType(&call.slot(pos), &given, 0, vt);
        if (failed(hr))
            return fail_arg(index, hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH);
    }

    // A stale error object must not be reported for this call.
    SetErrorInfo(0, nullptr);
    const HRESULT hr = m->invoke(object, call);
    if (failed(hr)) {
        if (!excep_info)
            return hr;
        std::memset(excep_info, 0, sizeof(*excep_info));
        excep_info->scode = hr;
        ComPtr<IErrorInfo> info;
        if (support && support->InterfaceSupportsErrorInfo(dual_iid) == S_OK &&
            GetErrorInfo(0, info.put()) == S_OK && info) {
            info->GetSource(&excep_info->bstrSource);
            info->GetDescription(&excep_info->bstrDescription);
            info->GetHelpFile(&excep_info->bstrHelpFile);
            info->GetHelpContext(&excep_info->dwHelpContext);
        }
        return DISP_E_EXCEPTION;
    }

    for (std::size_t pos = 0; pos < expected; ++pos)
        if (m->args[pos].out)
            store_out(call.slot(pos), params->rgvarg[source[pos]]);
    if (result) {
        VariantInit(result);
        if (has_value) {
            VARIANT& value = call.slot(declared - 1);
            if (value.vt == (VT_BYREF | VT_VARIANT)) {
                *result = *value.pvarVal;
                VariantInit(value.pvarVal);
            } else {
                *result = value;
                VariantInit(&value);
            }
        }
    }
    return hr;
}

} // namespace platform
