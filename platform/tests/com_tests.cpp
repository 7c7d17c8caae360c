// COM-style runtime: GUIDs, BSTR, VARIANT conversion, error information per thread, objects
// created by class id from a registered in-process server (aggregated too), and IDispatch.
#include "platform/com.h"
#include "platform/com_dispatch.h"
#include "platform/com_object.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "support/test_interfaces.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unordered_set>

using namespace platform;
using namespace testserver;

namespace {

// Points the registry at a fresh folder for one test.
class ScopedRegistry {
  public:
    ScopedRegistry() {
        char tmpl[] = "/tmp/orvix-com-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("ORVIX_REGISTRY_DIR", dir_.c_str(), 1);
    }
    ~ScopedRegistry() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

  private:
    std::string dir_;
};

TEST(Guid, TextRoundTripAndRejectsMalformed) {
    constexpr GUID g = make_guid("{38406515-73E9-4889-9421-8D0FF9EA5062}");
    EXPECT_EQ(g.Data1, 0x38406515u);
    EXPECT_EQ(g.Data2, 0x73E9);
    EXPECT_EQ(g.Data4[7], 0x62);
    EXPECT_EQ(to_string(g), "{38406515-73E9-4889-9421-8D0FF9EA5062}");
    EXPECT_EQ(to_text(g), u"{38406515-73E9-4889-9421-8D0FF9EA5062}");

    struct Case {
        const char16_t* text;
        bool valid;
    } cases[] = {
        {u"{38406515-73E9-4889-9421-8D0FF9EA5062}", true},
        {u"38406515-73e9-4889-9421-8d0ff9ea5062", true},
        {u"{38406515-73E9-4889-9421-8D0FF9EA5062", false},
        {u"{38406515-73E9-4889-9421_8D0FF9EA5062}", false},
        {u"{38406515-73E9-4889-9421-8D0FF9EA506G}", false},
        {u"{38406515-73E9-4889-9421-8D0FF9EA50621}", false},
        {u"", false},
        {u"{３8406515-73E9-4889-9421-8D0FF9EA5062}", false},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_guid(TextView(c.text));
        EXPECT_EQ(parsed.has_value(), c.valid) << to_utf8(c.text);
        if (parsed) {
            EXPECT_EQ(*parsed, g);
        }
    }
    std::unordered_set<GUID> set{g, GUID_NULL, g};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_LT(GUID_NULL, g);
}

TEST(Bstr, CountedStringsWithEmbeddedZerosAndNullAsEmpty) {
    const char16_t raw[] = {u'a', 0, u'b'};
    BSTR s = SysAllocStringLen(raw, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(SysStringByteLen(s), 6u);
    EXPECT_EQ(s[3], 0);
    EXPECT_EQ(bstr_view(s), TextView(raw, 3));
    SysFreeString(s);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_TRUE(bstr_view(nullptr).empty());
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);

    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(Text(zeroed, 4), Text(4, u'\0'));
    SysFreeString(zeroed);

    Bstr a(u"接続");
    Bstr b = a;
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(b.view(), u"接続");
    Bstr c = std::move(a);
    EXPECT_TRUE(a.is_null());
    EXPECT_EQ(c.text(), u"接続");
}

TEST(Variant, ChangeTypeConvertsOrReportsWhy) {
    struct Case {
        Variant in;
        VARTYPE to;
        HRESULT hr;
        std::int64_t expect; // for numbers and booleans
    };
    const Case cases[] = {
        {Variant::from_text(u"42"), VT_UI4, S_OK, 42},
        {Variant::from_text(u" -7 "), VT_I4, S_OK, -7},
        {Variant::from_text(u"-1"), VT_UI4, DISP_E_OVERFLOW, 0},
        {Variant::from_text(u"abc"), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {Variant::from_text(u"True"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Variant::from_i4(-1), VT_BOOL, S_OK, VARIANT_TRUE},
        {Variant::from_i4(0), VT_BOOL, S_OK, VARIANT_FALSE},
        {Variant::from_i8(0x100000000LL), VT_I4, DISP_E_OVERFLOW, 0},
        {Variant::from_i8(65535), VT_UI2, S_OK, 65535},
        {Variant::from_i4(70000), VT_UI2, DISP_E_OVERFLOW, 0},
        {Variant::from_bool(true), VT_I4, S_OK, -1},
    };
    for (const auto& c : cases) {
        Variant out;
        EXPECT_EQ(VariantChangeType(&out, &c.in, 0, c.to), c.hr) << c.in.vt << "->" << c.to;
        if (c.hr != S_OK)
            continue;
        ASSERT_EQ(out.vt, c.to);
        switch (c.to) {
        case VT_UI4:
            EXPECT_EQ(out.ulVal, c.expect);
            break;
        case VT_I4:
            EXPECT_EQ(out.lVal, c.expect);
            break;
        case VT_UI2:
            EXPECT_EQ(out.uiVal, c.expect);
            break;
        case VT_BOOL:
            EXPECT_EQ(out.boolVal, c.expect);
            break;
        }
    }

    // Text from numbers and booleans, and values read through a reference.
    LONG value = -12;
    Variant ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &value;
    Variant text;
    ASSERT_EQ(VariantChangeType(&text, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(bstr_view(text.bstrVal), u"-12");
    Variant b = Variant::from_bool(false);
    ASSERT_EQ(VariantChangeType(&b, &b, 0, VT_BSTR), S_OK); // in place
    EXPECT_EQ(bstr_view(b.bstrVal), u"False");

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

TEST(ErrorInfo, BelongsToTheThreadAndIsHandedOverOnce) {
    EXPECT_EQ(report_error(IDispatch::kIid, u"Src.1", u"説明", E_FAIL), E_FAIL);
    // Another thread has none of it.
    std::thread([] {
        ComPtr<IErrorInfo> none;
        EXPECT_EQ(GetErrorInfo(0, none.put()), S_FALSE);
        EXPECT_FALSE(none);
    }).join();

    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
    Bstr source, description;
    GUID guid{};
    info->GetSource(source.put());
    info->GetDescription(description.put());
    info->GetGUID(&guid);
    EXPECT_EQ(source.view(), u"Src.1");
    EXPECT_EQ(description.view(), u"説明");
    EXPECT_EQ(guid, IDispatch::kIid);

    ComPtr<IErrorInfo> again;
    EXPECT_EQ(GetErrorInfo(0, again.put()), S_FALSE); // taken by the first call

    // SetErrorInfo with null clears.
    report_error(IUnknown::kIid, u"x", u"y", E_FAIL);
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(GetErrorInfo(0, again.put()), S_FALSE);
}

// ---- Objects created by class id ----------------------------------------------------------------

class RegisteredServer : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(register_server(ORVIX_TEST_SERVER_PATH), S_OK); }
    void TearDown() override { free_unused_libraries(); }
    ScopedRegistry registry_;
};

TEST_F(RegisteredServer, RegistrationWritesTheServerPath) {
    const auto path = registry_read_string(
        RegistryRoot::ClassesRoot, u"CLSID\\" + to_text(CLSID_TestCounter) + u"\\InprocServer32");
    ASSERT_TRUE(path);
    EXPECT_EQ(std::filesystem::path(to_utf8(*path)),
              std::filesystem::canonical(ORVIX_TEST_SERVER_PATH));
    EXPECT_EQ(register_server(ORVIX_TEST_SERVER_PATH, true), S_OK);
    ComPtr<ITestCounter> counter;
    EXPECT_EQ(create_instance(CLSID_TestCounter, nullptr, counter), REGDB_E_CLASSNOTREG);
}

TEST_F(RegisteredServer, CreatesByClassIdAndReportsEachFailure) {
    ComPtr<ITestCounter> counter;
    ASSERT_EQ(create_instance(CLSID_TestCounter, nullptr, counter), S_OK);
    LONG total = 0;
    EXPECT_EQ(counter->Add(5, &total), S_OK);
    EXPECT_EQ(counter->Add(-2, &total), S_OK);
    EXPECT_EQ(total, 3);

    // The object answers its interfaces, and IUnknown gives one identity.
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(counter.query(dispatch), S_OK);
    ComPtr<IUnknown> u1 = counter.as<IUnknown>(), u2 = dispatch.as<IUnknown>();
    EXPECT_EQ(u1.get(), u2.get());
    ComPtr<IClassFactory> no;
    EXPECT_EQ(counter.query(no), E_NOINTERFACE);
    EXPECT_FALSE(no);

    // A class id registered to the server that its catalogue does not know.
    ASSERT_EQ(
        registry_write_string(RegistryRoot::ClassesRoot,
                              u"CLSID\\" + to_text(CLSID_TestUnregistered) + u"\\InprocServer32",
                              u"", to_text(ORVIX_TEST_SERVER_PATH)),
        ERROR_SUCCESS);
    ComPtr<ITestCounter> other;
    EXPECT_EQ(create_instance(CLSID_TestUnregistered, nullptr, other), CLASS_E_CLASSNOTAVAILABLE);

    // A registered library that is not there.
    const GUID missing = make_guid("{6B1E2A40-3C51-4D0E-9A77-2F0C1B9D5E09}");
    ASSERT_EQ(registry_write_string(RegistryRoot::ClassesRoot,
                                    u"CLSID\\" + to_text(missing) + u"\\InprocServer32", u"",
                                    u"/nonexistent/liborvixnothing.so"),
              ERROR_SUCCESS);
    EXPECT_EQ(create_instance(missing, nullptr, other), hresult_from_system(ERROR_MOD_NOT_FOUND));

    // A library that is not a server at all: the platform layer itself.
    const GUID not_server = make_guid("{6B1E2A40-3C51-4D0E-9A77-2F0C1B9D5E0A}");
    const auto runtime_lib =
        std::filesystem::path(ORVIX_TEST_SERVER_PATH).parent_path() / "liborvixplatform.so";
    ASSERT_EQ(registry_write_string(RegistryRoot::ClassesRoot,
                                    u"CLSID\\" + to_text(not_server) + u"\\InprocServer32", u"",
                                    from_path(runtime_lib)),
              ERROR_SUCCESS);
    EXPECT_EQ(create_instance(not_server, nullptr, other), CO_E_ERRORINDLL);

    EXPECT_EQ(create_instance(make_guid("{00000000-1111-2222-3333-444444444444}"), nullptr, other),
              REGDB_E_CLASSNOTREG);
    // Aggregation asks for IUnknown only.
    EXPECT_EQ(create_instance(CLSID_TestCounter, u1.get(), other), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(create_instance(CLSID_TestCounter, nullptr, IUnknown::kIid, nullptr), E_POINTER);
}

TEST_F(RegisteredServer, LibraryStaysWhileObjectsLiveAndUnloadsAfter) {
    ComPtr<ITestCounter> counter;
    ASSERT_EQ(create_instance(CLSID_TestCounter, nullptr, counter), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get_class_object(CLSID_TestCounter, IClassFactory::kIid, factory.put_void()), S_OK);
    EXPECT_EQ(free_unused_libraries(), 0u);
    counter.reset();
    EXPECT_EQ(free_unused_libraries(), 0u); // the factory still holds it
    ASSERT_EQ(factory->LockServer(1), S_OK);
    factory.reset();
    EXPECT_EQ(free_unused_libraries(), 0u); // locked
    // Unlock through a new factory, then nothing keeps the library.
    ASSERT_EQ(get_class_object(CLSID_TestCounter, IClassFactory::kIid, factory.put_void()), S_OK);
    factory->LockServer(0);
    factory.reset();
    EXPECT_EQ(free_unused_libraries(), 1u);
    // Loaded again on demand.
    ASSERT_EQ(create_instance(CLSID_TestCounter, nullptr, counter), S_OK);
    LONG total = 0;
    EXPECT_EQ(counter->Add(1, &total), S_OK);
    EXPECT_EQ(total, 1);
}

TEST_F(RegisteredServer, ErrorInformationOfTheServerReachesTheCaller) {
    ComPtr<ITestCounter> counter;
    ASSERT_EQ(create_instance(CLSID_TestCounter, nullptr, counter), S_OK);
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(counter.query(support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(ITestCounter::kIid), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IDispatch::kIid), S_FALSE);

    Bstr text(u"Authentication error");
    EXPECT_EQ(counter->Fail(text.get()), kTestFailure);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
    Bstr description, source;
    info->GetDescription(description.put());
    info->GetSource(source.put());
    EXPECT_EQ(description.view(), u"Authentication error");
    EXPECT_EQ(source.view(), kTestSource);
}

// An object of this program that aggregates the server's counter and adds an interface.
struct IOuterMarker : IUnknown {
    static constexpr IID kIid = make_guid("{6B1E2A40-3C51-4D0E-9A77-2F0C1B9D5E10}");
    virtual int marker() = 0;

  protected:
    ~IOuterMarker() = default;
};

class COuter final : public ComObject<COuter, IOuterMarker> {
  public:
    explicit COuter(bool* destroyed) : destroyed_(destroyed) {}
    ~COuter() override { *destroyed_ = true; }
    int marker() override { return 7; }

  protected:
    HRESULT final_construct() override {
        return create_instance(CLSID_TestCounter, controlling_unknown(), IUnknown::kIid,
                               inner_.put_void());
    }
    void final_release() override { inner_.reset(); }
    HRESULT find_extra_interface(REFIID iid, void** object) override {
        if (iid == ITestCounter::kIid || iid == ISupportErrorInfo::kIid)
            return inner_->QueryInterface(iid, object);
        *object = nullptr;
        return E_NOINTERFACE;
    }

  private:
    bool* destroyed_;
    ComPtr<IUnknown> inner_;
};

TEST_F(RegisteredServer, AggregatedServerObjectSharesTheOuterIdentity) {
    bool destroyed = false;
    {
        ComPtr<IOuterMarker> outer;
        ASSERT_EQ(create_com_object<COuter>(nullptr, outer, &destroyed), S_OK);
        ComPtr<ITestCounter> counter;
        ASSERT_EQ(outer.query(counter), S_OK);
        LONG total = 0;
        EXPECT_EQ(counter->Add(4, &total), S_OK);
        EXPECT_EQ(total, 4);
        // From the inner object's interface back to the outer one's.
        ComPtr<IOuterMarker> back;
        ASSERT_EQ(counter.query(back), S_OK);
        EXPECT_EQ(back->marker(), 7);
        EXPECT_EQ(counter.as<IUnknown>().get(), outer.as<IUnknown>().get());
        outer.reset();
        back.reset();
        EXPECT_FALSE(destroyed); // the counter's reference keeps the whole object
        EXPECT_EQ(free_unused_libraries(), 0u);
    }
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(free_unused_libraries(), 1u); // the inner object went with it
}

// ---- IDispatch --------------------------------------------------------------------------------

class Dispatch : public RegisteredServer {
  protected:
    void SetUp() override {
        RegisteredServer::SetUp();
        ComPtr<ITestCounter> counter;
        ASSERT_EQ(create_instance(CLSID_TestCounter, nullptr, counter), S_OK);
        ASSERT_EQ(counter.query(dispatch_), S_OK);
    }
    void TearDown() override {
        dispatch_.reset();
        RegisteredServer::TearDown();
    }
    DISPID id_of(const char16_t* name) {
        Text n(name);
        LPOLESTR names[] = {n.data()};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << to_utf8(name);
        return id;
    }
    HRESULT invoke(DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result = nullptr,
                   EXCEPINFO* excep = nullptr, UINT* arg_error = nullptr,
                   std::vector<DISPID> named = {}) {
        std::reverse(args.begin(), args.end());
        // Named arguments come first in rgvarg.
        DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()),
                          static_cast<UINT>(named.size())};
        return dispatch_->Invoke(id, IID_NULL, 0, flags, &params, result, excep, arg_error);
    }
    ComPtr<IDispatch> dispatch_;
};

TEST_F(Dispatch, NamesAndArgumentNamesResolveWithoutRegardToCase) {
    Text add(u"aDD"), total(u"TOTAL"), bogus(u"bogus");
    LPOLESTR names[] = {add.data(), total.data(), bogus.data()};
    DISPID ids[3];
    EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], 1); // second argument
    EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    LPOLESTR unknown[] = {bogus.data()};
    EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
    UINT count = 9;
    EXPECT_EQ(dispatch_->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(Dispatch, InvokeConvertsInArgumentsAndFillsOutArguments) {
    // Add("5", &total) with the number given as text.
    LONG total = 0;
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_BYREF | VT_I4;
    out.plVal = &total;
    Variant five = Variant::from_text(u"5");
    EXPECT_EQ(invoke(id_of(u"Add"), DISPATCH_METHOD, {five, out}), S_OK);
    EXPECT_EQ(total, 5);

    // Properties: put with the named put argument, get into the result.
    Variant name = Variant::from_text(u"tunnel");
    EXPECT_EQ(
        invoke(2, DISPATCH_PROPERTYPUT, {name}, nullptr, nullptr, nullptr, {DISPID_PROPERTYPUT}),
        S_OK);
    Variant result;
    EXPECT_EQ(invoke(2, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &result), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(bstr_view(result.bstrVal), u"tunnel");

    // A boolean from an integer; only -1 is true.
    Variant minus_one = Variant::from_i4(-1);
    EXPECT_EQ(invoke(3, DISPATCH_PROPERTYPUT, {minus_one}, nullptr, nullptr, nullptr,
                     {DISPID_PROPERTYPUT}),
              S_OK);
    Variant enabled;
    EXPECT_EQ(invoke(3, DISPATCH_PROPERTYGET, {}, &enabled), S_OK);
    ASSERT_EQ(enabled.vt, VT_BOOL);
    EXPECT_EQ(enabled.boolVal, VARIANT_TRUE);

    // Split(text, &head, &rest) with outs by VARIANT reference, arguments named out of order.
    Variant head_slot, rest_slot;
    VARIANT head_ref, rest_ref;
    VariantInit(&head_ref);
    VariantInit(&rest_ref);
    head_ref.vt = rest_ref.vt = VT_BYREF | VT_VARIANT;
    head_ref.pvarVal = &head_slot;
    rest_ref.pvarVal = &rest_slot;
    Variant text = Variant::from_text(u"CONNECTED 10.0.0.1");
    // rgvarg order (after the reversal in invoke): rest (named 2), head (named 1), text.
    EXPECT_EQ(
        invoke(5, DISPATCH_METHOD, {text, head_ref, rest_ref}, nullptr, nullptr, nullptr, {2, 1}),
        S_OK);
    ASSERT_EQ(head_slot.vt, VT_BSTR);
    EXPECT_EQ(bstr_view(head_slot.bstrVal), u"CONNECTED");
    ASSERT_EQ(rest_slot.vt, VT_UI4);
    EXPECT_EQ(rest_slot.ulVal, 9u);

    // An interface out argument.
    IDispatch* peer = nullptr;
    VARIANT peer_ref;
    VariantInit(&peer_ref);
    peer_ref.vt = VT_BYREF | VT_DISPATCH;
    peer_ref.ppdispVal = &peer;
    EXPECT_EQ(invoke(6, DISPATCH_METHOD, {peer_ref}), S_OK);
    ASSERT_NE(peer, nullptr);
    ComPtr<ITestCounter> peer_counter = ComPtr<IDispatch>::attach(peer).as<ITestCounter>();
    ASSERT_TRUE(peer_counter);
    EXPECT_EQ(peer_counter->Add(2, &total), S_OK);
    EXPECT_EQ(total, 2);
}

TEST_F(Dispatch, InvokeFailuresNameTheirCause) {
    Variant text = Variant::from_text(u"abc");
    LONG total = 0;
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_BYREF | VT_I4;
    out.plVal = &total;
    UINT arg_error = 99;
    EXPECT_EQ(invoke(1, DISPATCH_METHOD, {text, out}, nullptr, nullptr, &arg_error),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_error, 1u); // rgvarg index of the first argument

    Variant two = Variant::from_i4(2);
    EXPECT_EQ(invoke(1, DISPATCH_METHOD, {two}), DISP_E_BADPARAMCOUNT);
    // An out argument passed by value.
    EXPECT_EQ(invoke(1, DISPATCH_METHOD, {two, two}, nullptr, nullptr, &arg_error),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_error, 0u);
    EXPECT_EQ(invoke(99, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(4, DISPATCH_PROPERTYGET, {}), DISP_E_MEMBERNOTFOUND); // Fail is a method

    // A failing member: its error information arrives in EXCEPINFO.
    Variant description = Variant::from_text(u"No such connection name");
    EXCEPINFO excep{};
    EXPECT_EQ(invoke(4, DISPATCH_METHOD, {description}, nullptr, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, kTestFailure);
    EXPECT_EQ(bstr_view(excep.bstrDescription), u"No such connection name");
    EXPECT_EQ(bstr_view(excep.bstrSource), kTestSource);
    clear_excepinfo(&excep);
    // Without EXCEPINFO the member's own result.
    EXPECT_EQ(invoke(4, DISPATCH_METHOD, {description}), kTestFailure);
    // A success code other than S_OK comes through: Name is empty on a new object.
    ComPtr<ITestCounter> fresh;
    ASSERT_EQ(create_instance(CLSID_TestCounter, nullptr, fresh), S_OK);
    dispatch_ = fresh.as<IDispatch>();
    Variant result;
    EXPECT_EQ(invoke(2, DISPATCH_PROPERTYGET, {}, &result), S_FALSE);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(result.bstrVal, nullptr);
}

} // namespace
