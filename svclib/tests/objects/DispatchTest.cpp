// IDispatch of the dual interfaces: names and dispatch ids, and Invoke with text, integer,
// boolean and by-reference out arguments.
#include "ObjectsFixture.h"

namespace {

using platform::DISPID;
using platform::DISPPARAMS;
using platform::VARIANT;

class DispatchTest : public ObjectsTest {
  protected:
    static HRESULT IdOf(platform::IDispatch* object, const char16_t* name, DISPID& id) {
        Text copy(name);
        platform::LPOLESTR names[] = {copy.data()};
        return object->GetIDsOfNames(platform::IID_NULL, names, 1, 0, &id);
    }
    static HRESULT Invoke(platform::IDispatch* object, DISPID id, platform::WORD flags,
                          std::vector<VARIANT> args, VARIANT* result = nullptr) {
        std::reverse(args.begin(), args.end()); // rgvarg holds them last first
        DISPID put = platform::DISPID_PROPERTYPUT;
        DISPPARAMS params{args.data(), flags == platform::DISPATCH_PROPERTYPUT ? &put : nullptr,
                          static_cast<platform::UINT>(args.size()),
                          flags == platform::DISPATCH_PROPERTYPUT ? 1u : 0u};
        const HRESULT hr =
            object->Invoke(id, platform::IID_NULL, 0, flags, &params, result, nullptr, nullptr);
        for (VARIANT& v : args)
            platform::VariantClear(&v);
        return hr;
    }
    // Raw arguments: Invoke's helper clears them.
    static VARIANT TextArg(const char16_t* text) {
        VARIANT v{};
        v.vt = platform::VT_BSTR;
        v.bstrVal = platform::alloc_bstr(text);
        return v;
    }
    static VARIANT U4Arg(ULONG value) {
        VARIANT v{};
        v.vt = platform::VT_UI4;
        v.ulVal = value;
        return v;
    }
    static VARIANT BoolArg(bool value) {
        VARIANT v{};
        v.vt = platform::VT_BOOL;
        v.boolVal = platform::to_variant_bool(value);
        return v;
    }
    static VARIANT I8Arg(std::int64_t value) {
        VARIANT v{};
        v.vt = platform::VT_I8;
        v.llVal = value;
        return v;
    }
    static VARIANT Ref(platform::VARTYPE type, void* target) {
        VARIANT v{};
        v.vt = static_cast<platform::VARTYPE>(platform::VT_BYREF | type);
        v.byref = target;
        return v;
    }
};

TEST_F(DispatchTest, NamesGiveTheDispatchIds) {
    auto office = Connection(u"office");
    ComPtr<IZa32VUEnumConnections> enumerator;
    ASSERT_EQ(m_client->EnumConnections(enumerator.put()), platform::S_OK);
    ComPtr<IZa32VUUpdater> updater;
    ASSERT_EQ(m_system->GetUpdateInterface(updater.put()), platform::S_OK);
    struct Case {
        platform::IDispatch* object;
        const char16_t* name;
        DISPID id;
    };
    const Case cases[] = {
        {m_client.get(), u"Initialize", 1},
        {m_client.get(), u"ConnectService", 3},
        {m_client.get(), u"setlogoutobject", 9},
        {office.get(), u"Name", 1},
        {office.get(), u"Connect", 8},
        {office.get(), u"GetStatus", 10},
        {office.get(), u"Password", 15},
        {office.get(), u"BrokerUrlV6", 20},
        {office.get(), u"BrokerNumber", 22},
        {enumerator.get(), u"Next", 1},
        {enumerator.get(), u"Clone", 4},
        {m_system.get(), u"ProductName", 1},
        {m_system.get(), u"SCPosX", 22},
        {m_system.get(), u"GetUpdateInterface", 28},
        {m_system.get(), u"DontShowWelcome", 41},
        {updater.get(), u"UpdateListUrl", 1},
        {updater.get(), u"Update", 5},
        {m_events.get(), u"SetNotifyWindow", 2},
        {m_events.get(), u"GetEvent", 4},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(platform::to_utf8(test.name));
        DISPID id = -7;
        EXPECT_EQ(IdOf(test.object, test.name, id), platform::S_OK);
        EXPECT_EQ(id, test.id);
    }
    DISPID id = 0;
    EXPECT_EQ(IdOf(office.get(), u"Reconnect", id), platform::DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, platform::DISPID_UNKNOWN);
    // Interfaces answer IDispatch with their dual interface; the client with IKp32ClientSC.
    ComPtr<platform::IDispatch> dispatch;
    ASSERT_EQ(m_client.query(dispatch), platform::S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(m_client.get()));
}

TEST_F(DispatchTest, InvokeWithTextIntegerBooleanAndOutArguments) {
    auto office = Connection(u"office");
    // Text property: put and get.
    ASSERT_EQ(Invoke(office.get(), 1, platform::DISPATCH_PROPERTYPUT, {TextArg(u"branch")}),
              platform::S_OK);
    platform::Variant name;
    ASSERT_EQ(Invoke(office.get(), 1, platform::DISPATCH_PROPERTYGET, {}, &name), platform::S_OK);
    EXPECT_EQ(name.vt, platform::VT_BSTR);
    EXPECT_EQ(platform::bstr_view(name.bstrVal), u"branch");
    // Integer and boolean properties, given as other types and converted.
    ASSERT_EQ(Invoke(office.get(), 22, platform::DISPATCH_PROPERTYPUT, {TextArg(u"7")}),
              platform::S_OK);
    ULONG number = 0;
    EXPECT_EQ(office->get_BrokerNumber(&number), platform::S_OK);
    EXPECT_EQ(number, 7u);
    ASSERT_EQ(Invoke(office.get(), 7, platform::DISPATCH_PROPERTYPUT, {BoolArg(false)}),
              platform::S_OK);
    platform::Variant keep;
    ASSERT_EQ(Invoke(office.get(), 7, platform::DISPATCH_PROPERTYGET, {}, &keep), platform::S_OK);
    EXPECT_EQ(keep.vt, platform::VT_BOOL);
    EXPECT_EQ(keep.boolVal, platform::VARIANT_FALSE);
    // A method with two by-reference out texts.
    platform::BSTR user = nullptr;
    platform::BSTR password = platform::alloc_bstr(u"freed by the call");
    ASSERT_EQ(Invoke(office.get(), 6, platform::DISPATCH_METHOD,
                     {Ref(platform::VT_BSTR, &user), Ref(platform::VT_BSTR, &password)}),
              platform::S_OK);
    EXPECT_EQ(platform::bstr_view(user), u"user@example.jp");
    EXPECT_EQ(platform::bstr_view(password), u"pw");
    platform::SysFreeString(user);
    platform::SysFreeString(password);
    // GetStatus returns the status itself: a success code, passed through.
    ULONG msgid = 5;
    EXPECT_EQ(Invoke(office.get(), 19, platform::DISPATCH_METHOD, {Ref(platform::VT_UI4, &msgid)}),
              platform::S_OK);
    EXPECT_EQ(msgid, 0u);
    // Too many arguments, and out arguments not by reference.
    EXPECT_EQ(Invoke(office.get(), 9, platform::DISPATCH_METHOD, {U4Arg(1), U4Arg(2)}),
              platform::DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(office.get(), 19, platform::DISPATCH_METHOD, {U4Arg(1)}),
              platform::DISP_E_TYPEMISMATCH);
}

TEST_F(DispatchTest, HandWrittenMembers) {
    // SetSCPosition / GetSCPosition: the point as one 64-bit integer, x low, y high.
    std::int64_t packed = 0;
    EXPECT_EQ(
        Invoke(m_system.get(), 24, platform::DISPATCH_METHOD, {Ref(platform::VT_I8, &packed)}),
        platform::S_FALSE)
        << "no position stored";
    const std::int64_t point = (std::int64_t(20) << 32) | std::uint32_t(-10);
    ASSERT_EQ(Invoke(m_system.get(), 25, platform::DISPATCH_METHOD, {I8Arg(point)}),
              platform::S_OK);
    tagPOINT direct{};
    EXPECT_EQ(m_system->GetSCPosition(&direct), platform::S_OK);
    EXPECT_EQ(direct.x, -10);
    EXPECT_EQ(direct.y, 20);
    EXPECT_EQ(
        Invoke(m_system.get(), 24, platform::DISPATCH_METHOD, {Ref(platform::VT_I8, &packed)}),
        platform::S_OK);
    EXPECT_EQ(packed, point);

    // Next: one connection at most, as an interface.
    ComPtr<IZa32VUEnumConnections> enumerator;
    ASSERT_EQ(m_client->EnumConnections(enumerator.put()), platform::S_OK);
    platform::IDispatch* item = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(
        Invoke(enumerator.get(), 1, platform::DISPATCH_METHOD,
               {U4Arg(1), Ref(platform::VT_DISPATCH, &item), Ref(platform::VT_UI4, &fetched)}),
        platform::S_OK);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(fetched, 1u);
    ComPtr<IZa32VUConnection> first;
    ASSERT_EQ(item->QueryInterface(IZa32VUConnection::kIid, first.put_void()), platform::S_OK);
    item->Release();
    Bstr name;
    first->get_Name(name.put());
    EXPECT_EQ(name.view(), u"office");
    EXPECT_EQ(
        Invoke(enumerator.get(), 1, platform::DISPATCH_METHOD,
               {U4Arg(2), Ref(platform::VT_DISPATCH, &item), Ref(platform::VT_UI4, &fetched)}),
        platform::E_INVALIDARG);
}

} // namespace
