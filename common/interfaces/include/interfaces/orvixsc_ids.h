#pragma once
// Identifiers of the service client library (module za32vu): type library, application id,
// classes with their ProgIDs and descriptions, and interface ids.
#include "platform/com.h"

// ---- Type library and application ---------------------------------------------------------------
inline constexpr platform::GUID LIBID_ZA32VULib =
    platform::make_guid("{FA5ED4C9-ABFF-4EA3-8089-2531FAE37453}");
inline constexpr const char16_t* kZa32vuTypeLibName = u"ZA32VULib";
inline constexpr const char16_t* kZa32vuTypeLibHelp = u"ZA32VU 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ";
inline constexpr unsigned kZa32vuTypeLibMajor = 1;
inline constexpr unsigned kZa32vuTypeLibMinor = 0;

inline constexpr platform::GUID APPID_za32vu =
    platform::make_guid("{E757C8E5-89F9-49CA-9980-FFF827124BF9}");
inline constexpr const char16_t* kZa32vuAppName = u"za32vu";
inline constexpr const char16_t* kZa32vuModuleName = u"za32vu";

// ---- Interfaces ---------------------------------------------------------------------------------
inline constexpr platform::IID IID_IKp32ClientSC =
    platform::make_guid("{D1800F6B-3D88-45AE-BF94-BECA59F74378}");
inline constexpr platform::IID IID_IZa32VUConnection =
    platform::make_guid("{5FD9D1AD-B0AA-4298-8C82-FA3A8A3E9FD4}");
inline constexpr platform::IID IID_IZa32VUEnumConnections =
    platform::make_guid("{24EBD631-F64C-424D-B029-F77DA8553FE7}");
inline constexpr platform::IID IID_IZa32VUSystem =
    platform::make_guid("{3D93D722-0258-4392-9EF8-33D3F321656F}");
inline constexpr platform::IID IID_IZa32VUUpdater =
    platform::make_guid("{C30601CA-2434-4A5F-9E39-7838A51C66BF}");
inline constexpr platform::IID IID_IZa32VUEvent =
    platform::make_guid("{171DF37C-03FE-4B28-9DF1-C0D1F7E79843}");

// ---- Classes ------------------------------------------------------------------------------------
inline constexpr platform::CLSID CLSID_Kp32ClientSC =
    platform::make_guid("{38406515-73E9-4889-9421-8D0FF9EA5062}");
inline constexpr platform::CLSID CLSID_Za32VUConnection =
    platform::make_guid("{E450F781-04F4-46BC-9F37-56781264A353}");
inline constexpr platform::CLSID CLSID_Za32VUEnumConnections =
    platform::make_guid("{C4F14BC1-F321-421F-8BF1-C97360B0A461}");
inline constexpr platform::CLSID CLSID_Za32VUSystem =
    platform::make_guid("{9A1E21DE-7E78-42B6-870F-FF72A2F43C7D}");
inline constexpr platform::CLSID CLSID_Za32VUEvent =
    platform::make_guid("{06A99FFD-A17C-414A-8542-3840D7EE8131}");
inline constexpr platform::CLSID CLSID_Za32VUUpdater =
    platform::make_guid("{F270F7C1-3A52-4A2D-89ED-BEB4CE58400B}");

// One row of the class catalogue: what registration writes for a class.
struct Za32vuClassInfo {
    const platform::CLSID* clsid;
    const char16_t* name;    // class name
    const char16_t* prog_id; // versioned ProgID, also the error information source
    const char16_t* version_independent_prog_id;
    const char16_t* description;
    const char16_t* threading_model; // InprocServer32's ThreadingModel value
    unsigned registry_script;        // resource id of the class's registry script
};

inline constexpr Za32vuClassInfo kZa32vuClasses[] = {
    {&CLSID_Kp32ClientSC, u"Kp32ClientSC", u"ZA32VU.Kp32ClientSC.1", u"ZA32VU.Kp32ClientSC",
     u"Kp32ClientSC Class", u"Apartment", 102},
    {&CLSID_Za32VUConnection, u"Za32VUConnection", u"ZA32VU.Za32VUConnection.1",
     u"ZA32VU.Za32VUConnection", u"Za32VUConnection Class", u"Both", 103},
    {&CLSID_Za32VUEnumConnections, u"Za32VUEnumConnections", u"ZA32VU.Za32VUEnumConnections.1",
     u"ZA32VU.Za32VUEnumConnections", u"Za32VUEnumConnections Class", u"Both", 104},
    {&CLSID_Za32VUSystem, u"Za32VUSystem", u"ZA32VU.Za32VUSystem.1", u"ZA32VU.Za32VUSystem",
     u"Za32VUSystem Class", u"Both", 105},
    {&CLSID_Za32VUEvent, u"Za32VUEvent", u"ZA32VU.Za32VUEvent.1", u"ZA32VU.Za32VUEvent",
     u"Za32VUEvent Class", u"Both", 106},
    {&CLSID_Za32VUUpdater, u"Za32VUUpdater", u"ZA32VU.Za32VUUpdater.1", u"ZA32VU.Za32VUUpdater",
     u"Za32VUUpdater Class", u"Both", 107},
};
inline constexpr unsigned kZa32vuAppIdScript = 101;

// The versioned ProgIDs, the source text of each class's error information.
inline constexpr const char16_t* kProgIdKp32ClientSC = u"ZA32VU.Kp32ClientSC.1";
inline constexpr const char16_t* kProgIdZa32VUConnection = u"ZA32VU.Za32VUConnection.1";
inline constexpr const char16_t* kProgIdZa32VUEnumConnections = u"ZA32VU.Za32VUEnumConnections.1";
inline constexpr const char16_t* kProgIdZa32VUSystem = u"ZA32VU.Za32VUSystem.1";
inline constexpr const char16_t* kProgIdZa32VUEvent = u"ZA32VU.Za32VUEvent.1";
inline constexpr const char16_t* kProgIdZa32VUUpdater = u"ZA32VU.Za32VUUpdater.1";
