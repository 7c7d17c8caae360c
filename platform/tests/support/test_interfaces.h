#pragma once
// The interface of the test in-process server (test_server.cpp), shared with the tests.
#include "platform/com.h"

namespace testserver {

using namespace platform;

// A counter with a name: a dual interface exercising each argument kind.
struct ITestCounter : IDispatch {
    static constexpr IID kIid = make_guid("{6B1E2A40-3C51-4D0E-9A77-2F0C1B9D5E01}");
    virtual HRESULT Add(LONG delta, LONG* total) = 0;                     // dispid 1
    virtual HRESULT get_Name(BSTR* name) = 0;                             // dispid 2
    virtual HRESULT put_Name(BSTR name) = 0;                              // dispid 2
    virtual HRESULT get_Enabled(VARIANT_BOOL* enabled) = 0;               // dispid 3
    virtual HRESULT put_Enabled(VARIANT_BOOL enabled) = 0;                // dispid 3
    virtual HRESULT Fail(BSTR description) = 0;                           // dispid 4
    virtual HRESULT Split(BSTR text, BSTR* head, ULONG* rest_length) = 0; // dispid 5
    virtual HRESULT Peer(ITestCounter** peer) = 0;                        // dispid 6

  protected:
    ~ITestCounter() = default;
};

inline constexpr CLSID CLSID_TestCounter = make_guid("{6B1E2A40-3C51-4D0E-9A77-2F0C1B9D5E02}");
inline constexpr CLSID CLSID_TestUnregistered = make_guid("{6B1E2A40-3C51-4D0E-9A77-2F0C1B9D5E03}");
// The result Fail reports, with its description as error information.
inline constexpr HRESULT kTestFailure = make_hresult(0x87000009);
inline constexpr const char16_t* kTestSource = u"TestServer.Counter.1";

} // namespace testserver
