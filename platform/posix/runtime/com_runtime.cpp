// The process-wide part of the COM-style runtime: the BSTR allocator, VARIANT handling and the
// error object of each thread. Built into the shared runtime library so that a program and the
// in-process servers it loads share one error slot per thread and one string allocator.
#include "platform/com.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace platform {

// ---- BSTR -------------------------------------------------------------------------------------
namespace {
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

std::uint32_t& byte_length(BSTR text) {
    return *reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(text) - kPrefix);
}
} // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    // The byte length must fit the 32-bit prefix.
    if (length > (std::numeric_limits<std::uint32_t>::max() - kPrefix - 2) / 2)
        return nullptr;
    const std::size_t bytes = std::size_t(length) * 2;
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + 2));
    if (!block)
        return nullptr;
    const auto prefix = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &prefix, kPrefix);
    BSTR out = reinterpret_cast<BSTR>(block + kPrefix);
    if (text)
        std::memcpy(out, text, bytes);
    else
        std::memset(out, 0, bytes);
    out[length] = 0;
    return out;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text)
        return nullptr;
    std::size_t n = 0;
    while (text[n] != 0)
        ++n;
    if (n > std::numeric_limits<UINT>::max())
        return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(n));
}

void SysFreeString(BSTR text) {
    if (text)
        std::free(reinterpret_cast<char*>(text) - kPrefix);
}

UINT SysStringByteLen(BSTR text) {
    return text ? byte_length(text) : 0;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / 2;
}

BSTR alloc_bstr(TextView text) {
    if (text.size() > std::numeric_limits<UINT>::max())
        return nullptr;
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// ---- VARIANT ----------------------------------------------------------------------------------
void VariantInit(VARIANT* v) {
    std::memset(v, 0, sizeof(*v));
    v->vt = VT_EMPTY;
}

namespace {
bool known_base_type(VARTYPE t) {
    switch (t) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_BOOL:
    case VT_ERROR:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_VARIANT:
        return true;
    default:
        return false;
    }
}

bool valid_type(VARTYPE vt) {
    if (vt & VT_BYREF) {
        const VARTYPE base = vt & ~VT_BYREF;
        return base != VT_EMPTY && base != VT_NULL && known_base_type(base);
    }
    return vt != VT_VARIANT && known_base_type(vt);
}
} // namespace

HRESULT VariantClear(VARIANT* v) {
    if (!v)
        return E_INVALIDARG;
    if (!valid_type(v->vt))
        return DISP_E_BADVARTYPE;
    switch (v->vt) {
    case VT_BSTR:
        SysFreeString(v->bstrVal);
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        if (v->punkVal)
            v->punkVal->Release();
        break;
    default:
        break;
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* source) {
    if (!dest || !source)
        return E_INVALIDARG;
    if (!valid_type(source->vt))
        return DISP_E_BADVARTYPE;
    if (dest == source)
        return S_OK;
    VARIANT copy = *source;
    if (source->vt == VT_BSTR && source->bstrVal) {
        copy.bstrVal = alloc_bstr(bstr_view(source->bstrVal));
        if (!copy.bstrVal)
            return E_OUTOFMEMORY;
    } else if ((source->vt == VT_DISPATCH || source->vt == VT_UNKNOWN) && source->punkVal) {
        source->punkVal->AddRef();
    }
    const HRESULT hr = VariantClear(dest);
    if (failed(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

namespace {

// A value read from a variant, as the conversion sees it.
struct Scalar {
    enum class Kind { Empty, Signed, Unsigned, Bool, Text, Object } kind = Kind::Empty;
    std::int64_t s = 0;
    std::uint64_t u = 0;
    TextView text;
    IUnknown* object = nullptr;
};

HRESULT read_scalar(const VARIANT& v, Scalar& out) {
    const bool ref = (v.vt & VT_BYREF) != 0;
    const VARTYPE base = v.vt & ~VT_BYREF;
    if (ref && !v.byref)
        return E_POINTER;
    using K = Scalar::Kind;
    switch (base) {
    case VT_EMPTY:
        out.kind = K::Empty;
        return S_OK;
    case VT_NULL:
        return DISP_E_TYPEMISMATCH;
    case VT_I1:
        out = {K::Signed, ref ? *v.pcVal : v.cVal};
        return S_OK;
    case VT_I2:
        out = {K::Signed, ref ? *v.piVal : v.iVal};
        return S_OK;
    case VT_I4:
    case VT_ERROR:
        out = {K::Signed, ref ? *v.plVal : v.lVal};
        return S_OK;
    case VT_INT:
        out = {K::Signed, ref ? *v.pintVal : v.intVal};
        return S_OK;
    case VT_I8:
        out = {K::Signed, ref ? *v.pllVal : v.llVal};
        return S_OK;
    case VT_UI1:
        out = {K::Unsigned, 0, ref ? *v.pbVal : v.bVal};
        return S_OK;
    case VT_UI2:
        out = {K::Unsigned, 0, ref ? *v.puiVal : v.uiVal};
        return S_OK;
    case VT_UI4:
        out = {K::Unsigned, 0, ref ? *v.pulVal : v.ulVal};
        return S_OK;
    case VT_UINT:
        out = {K::Unsigned, 0, ref ? *v.puintVal : v.uintVal};
        return S_OK;
    case VT_UI8:
        out = {K::Unsigned, 0, ref ? *v.pullVal : v.ullVal};
        return S_OK;
    case VT_BOOL:
        out = {K::Bool, ref ? *v.pboolVal : v.boolVal};
        return S_OK;
    case VT_BSTR:
        out.kind = K::Text;
        out.text = bstr_view(ref ? *v.pbstrVal : v.bstrVal);
        return S_OK;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        out.kind = K::Object;
        out.object = ref ? *v.ppunkVal : v.punkVal;
        return S_OK;
    case VT_VARIANT:
        if (!ref)
            return DISP_E_BADVARTYPE;
        return read_scalar(*v.pvarVal, out);
    default:
        return DISP_E_BADVARTYPE;
    }
}

bool iequal_ascii(TextView a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t c = a[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        char d = b[i];
        if (d >= 'A' && d <= 'Z')
            d = static_cast<char>(d - 'A' + 'a');
        if (c != static_cast<unsigned char>(d))
            return false;
    }
    return true;
}

// Text as a number: optional blanks, an optional sign, decimal digits; or True/False.
HRESULT parse_text(TextView text, Scalar& out) {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t'))
        text.remove_suffix(1);
    if (iequal_ascii(text, "true")) {
        out = {Scalar::Kind::Bool, -1};
        return S_OK;
    }
    if (iequal_ascii(text, "false")) {
        out = {Scalar::Kind::Bool, 0};
        return S_OK;
    }
    std::string digits;
    for (char16_t c : text) {
        if (c > 0x7F)
            return DISP_E_TYPEMISMATCH;
        digits.push_back(static_cast<char>(c));
    }
    if (digits.empty())
        return DISP_E_TYPEMISMATCH;
    const char* first = digits.data();
    const char* last = first + digits.size();
    if (*first == '+')
        ++first;
    if (first != last && *first == '-') {
        std::int64_t v = 0;
        auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc::result_out_of_range)
            return DISP_E_OVERFLOW;
        if (r.ec != std::errc() || r.ptr != last)
            return DISP_E_TYPEMISMATCH;
        out = {Scalar::Kind::Signed, v};
        return S_OK;
    }
    std::uint64_t v = 0;
    auto r = std::from_chars(first, last, v);
    if (r.ec == std::errc::result_out_of_range)
        return DISP_E_OVERFLOW;
    if (r.ec != std::errc() || r.ptr != last || first == last)
        return DISP_E_TYPEMISMATCH;
    out = {Scalar::Kind::Unsigned, 0, v};
    return S_OK;
}

// The value as a signed 128-bit-safe pair: negative values in `neg`, others in `mag`.
struct Number {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

HRESULT to_number(const Scalar& s, Number& out) {
    using K = Scalar::Kind;
    switch (s.kind) {
    case K::Empty:
        out = {};
        return S_OK;
    case K::Signed:
    case K::Bool:
        out.negative = s.s < 0;
        out.magnitude = s.s < 0 ? std::uint64_t(0) - std::uint64_t(s.s) : std::uint64_t(s.s);
        return S_OK;
    case K::Unsigned:
        out = {false, s.u};
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

template <typename T> HRESULT fit(const Number& n, T& out) {
    if (n.negative) {
        if constexpr (std::is_unsigned_v<T>) {
            return DISP_E_OVERFLOW;
        } else {
            const std::uint64_t limit =
                std::uint64_t(0) - std::uint64_t(std::numeric_limits<T>::min());
            if (n.magnitude > limit)
                return DISP_E_OVERFLOW;
            out = static_cast<T>(std::int64_t(0) - static_cast<std::int64_t>(n.magnitude - 1) - 1);
            return S_OK;
        }
    }
    if (n.magnitude > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
        return DISP_E_OVERFLOW;
    out = static_cast<T>(n.magnitude);
    return S_OK;
}

} // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, WORD, VARTYPE type) {
    if (!dest || !source)
        return E_INVALIDARG;
    if ((type & VT_BYREF) || !known_base_type(type) || type == VT_VARIANT || type == VT_NULL)
        return DISP_E_BADVARTYPE;
    Scalar s;
    HRESULT hr = read_scalar(*source, s);
    if (failed(hr))
        return hr;
    if (s.kind == Scalar::Kind::Text && type != VT_BSTR) {
        hr = parse_text(s.text, s);
        if (failed(hr))
            return hr;
    }
    VARIANT out;
    VariantInit(&out);
    out.vt = type;
    Number n;
    switch (type) {
    case VT_EMPTY:
        break;
    case VT_BSTR: {
        Text text;
        switch (s.kind) {
        case Scalar::Kind::Text:
            text = Text(s.text);
            break;
        case Scalar::Kind::Bool:
            text = s.s ? u"True" : u"False";
            break;
        case Scalar::Kind::Signed:
            text = to_text(std::to_string(s.s));
            break;
        case Scalar::Kind::Unsigned:
            text = to_text(std::to_string(s.u));
            break;
        case Scalar::Kind::Empty:
            break;
        case Scalar::Kind::Object:
            return DISP_E_TYPEMISMATCH;
        }
        out.bstrVal = alloc_bstr(text);
        if (!out.bstrVal)
            return E_OUTOFMEMORY;
        break;
    }
    case VT_BOOL:
        if (failed(hr = to_number(s, n)))
            return hr;
        out.boolVal = n.magnitude != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        if (s.kind != Scalar::Kind::Object)
            return DISP_E_TYPEMISMATCH;
        if (!s.object) {
            out.punkVal = nullptr;
            break;
        }
        hr = s.object->QueryInterface(type == VT_DISPATCH ? IDispatch::kIid : IUnknown::kIid,
                                      reinterpret_cast<void**>(&out.punkVal));
        if (failed(hr))
            return DISP_E_TYPEMISMATCH;
        break;
    default:
        if (failed(hr = to_number(s, n)))
            return hr;
        switch (type) {
        case VT_I1:
            hr = fit(n, out.cVal);
            break;
        case VT_UI1:
            hr = fit(n, out.bVal);
            break;
        case VT_I2:
            hr = fit(n, out.iVal);
            break;
        case VT_UI2:
            hr = fit(n, out.uiVal);
            break;
        case VT_I4:
        case VT_ERROR:
            hr = fit(n, out.lVal);
            break;
        case VT_UI4:
            hr = fit(n, out.ulVal);
            break;
        case VT_INT:
            hr = fit(n, out.intVal);
            break;
        case VT_UINT:
            hr = fit(n, out.uintVal);
            break;
        case VT_I8:
            hr = fit(n, out.llVal);
            break;
        case VT_UI8:
            hr = fit(n, out.ullVal);
            break;
        default:
            return DISP_E_BADVARTYPE;
        }
        if (failed(hr))
            return hr;
        break;
    }
    hr = VariantClear(dest);
    if (failed(hr)) {
        VariantClear(&out);
        return hr;
    }
    *dest = out;
    return S_OK;
}

Variant Variant::from_i4(LONG v) {
    Variant out;
    out.vt = VT_I4;
    out.lVal = v;
    return out;
}
Variant Variant::from_ui4(ULONG v) {
    Variant out;
    out.vt = VT_UI4;
    out.ulVal = v;
    return out;
}
Variant Variant::from_bool(bool v) {
    Variant out;
    out.vt = VT_BOOL;
    out.boolVal = to_variant_bool(v);
    return out;
}
Variant Variant::from_text(TextView text) {
    Variant out;
    out.vt = VT_BSTR;
    out.bstrVal = alloc_bstr(text);
    return out;
}
Variant Variant::from_i8(std::int64_t v) {
    Variant out;
    out.vt = VT_I8;
    out.llVal = v;
    return out;
}

void clear_excepinfo(EXCEPINFO* info) {
    if (!info)
        return;
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrHelpFile);
    std::memset(info, 0, sizeof(*info));
}

// ---- Error information ----------------------------------------------------------------------
namespace {

// The error object: plain data behind both interfaces.
class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
  public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object)
            return E_POINTER;
        if (iid == IUnknown::kIid || iid == IErrorInfo::kIid)
            *object = static_cast<IErrorInfo*>(this);
        else if (iid == ICreateErrorInfo::kIid)
            *object = static_cast<ICreateErrorInfo*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT GetGUID(GUID* guid) override {
        if (!guid)
            return E_INVALIDARG;
        *guid = guid_;
        return S_OK;
    }
    HRESULT GetSource(BSTR* out) override { return copy_out(source_, out); }
    HRESULT GetDescription(BSTR* out) override { return copy_out(description_, out); }
    HRESULT GetHelpFile(BSTR* out) override { return copy_out(help_file_, out); }
    HRESULT GetHelpContext(DWORD* out) override {
        if (!out)
            return E_INVALIDARG;
        *out = help_context_;
        return S_OK;
    }

    HRESULT SetGUID(REFGUID guid) override {
        guid_ = guid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR text) override { return set(source_, text); }
    HRESULT SetDescription(LPOLESTR text) override { return set(description_, text); }
    HRESULT SetHelpFile(LPOLESTR text) override { return set(help_file_, text); }
    HRESULT SetHelpContext(DWORD value) override {
        help_context_ = value;
        return S_OK;
    }

  private:
    ~ErrorInfo() = default;

    static HRESULT copy_out(const std::optional<Text>& value, BSTR* out) {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (!value)
            return S_OK;
        *out = alloc_bstr(*value);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    static HRESULT set(std::optional<Text>& slot, LPOLESTR text) {
        if (text)
            slot = Text(text);
        else
            slot.reset();
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    GUID guid_{};
    std::optional<Text> source_, description_, help_file_;
    DWORD help_context_ = 0;
};

// The calling thread's error object (one reference held).
struct ThreadErrorSlot {
    IErrorInfo* info = nullptr;
    ~ThreadErrorSlot() {
        if (info)
            info->Release();
    }
};
thread_local ThreadErrorSlot t_error;

} // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
    if (!out)
        return E_INVALIDARG;
    auto* info = new (std::nothrow) ErrorInfo();
    *out = info;
    return info ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
    if (reserved != 0)
        return E_INVALIDARG;
    if (info)
        info->AddRef();
    IErrorInfo* old = std::exchange(t_error.info, info);
    if (old)
        old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out) {
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (reserved != 0)
        return E_INVALIDARG;
    *out = std::exchange(t_error.info, nullptr);
    return *out ? S_OK : S_FALSE;
}

HRESULT report_error(REFIID iid, TextView source, TextView description, HRESULT hr) {
    ICreateErrorInfo* create = nullptr;
    if (failed(CreateErrorInfo(&create)))
        return hr;
    Text src(source), desc(description);
    create->SetGUID(iid);
    create->SetSource(src.data());
    create->SetDescription(desc.data());
    IErrorInfo* info = nullptr;
    if (succeeded(create->QueryInterface(IErrorInfo::kIid, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

} // namespace platform
