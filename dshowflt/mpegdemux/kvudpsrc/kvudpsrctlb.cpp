// The description behind IDispatch of IKVUDPSrc. Each method entry names the
// interface member it stands for, so dispatch ids, parameter types and the
// slots Invoke calls cannot drift from kvudpsrcif.h.
#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrctlb.h"

#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "platform/graph/strmif.h"

template <>
inline constexpr const char* kDispTypeName<SrcEventNotificationConstants> = "SrcEventNotificationConstants";
template <>
inline constexpr const char* kDispTypeName<AM_MEDIA_TYPE> = "_AMMediaType";

namespace {

constexpr const char* kCallInSameThreadHelp =
    "If TRUE the callback will be called in the main thread (slower). If FALSE, the callback will be called in "
    "another thread (faster).";

constexpr SFuncDesc kSrc1Funcs[] = {
    DispFunc<&IKVUDPSrc1::put_CallbackObj>("CallbackObj", 1, INVOKE_PROPERTYPUT,
                                           "Set the user callback that will be called with the private data",
                                           "pCallback"),
    DispFunc<&IKVUDPSrc1::get_CallbackObj>("CallbackObj", 1, INVOKE_PROPERTYGET,
                                           "Get the user callback being called with the private data", "pCallback",
                                           true),
    DispFunc<&IKVUDPSrc1::put_CallInSameThread>("CallInSameThread", 2, INVOKE_PROPERTYPUT, kCallInSameThreadHelp,
                                                "bVal"),
    DispFunc<&IKVUDPSrc1::get_CallInSameThread>("CallInSameThread", 2, INVOKE_PROPERTYGET, kCallInSameThreadHelp,
                                                "pbVal", true),
};
constexpr STypeDesc kSrc1 = InterfaceDesc(TKIND_DISPATCH, "IKVUDPSrc1", &IID_IKVUDPSrc1,
                                          "IKVUDPSrc1 Interface (deprecated)",
                                          TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FNONEXTENSIBLE, nullptr,
                                          kSrc1Funcs);

constexpr SFuncDesc kSrcFuncs[] = {
    DispFunc<&IKVUDPSrc::GetReceiveTime>("GetReceiveTime", 3, INVOKE_FUNC,
                                         "The time at which the byte at a stream offset was received", "offset,pReceiveTime",
                                         true),
    DispFunc<&IKVUDPSrc::StopLogging>("StopLogging", 4, INVOKE_FUNC, "Stops logging receive times", ""),
    DispFunc<&IKVUDPSrc::ConvertTimeToString>("ConvertTimeToString", 5, INVOKE_FUNC,
                                              "A receive time as text between a prefix and a suffix",
                                              "receiveTime,pszPrefix,pszSuffix,pRet", true),
    DispFunc<&IKVUDPSrc::ConvertStringToTime>("ConvertStringToTime", 6, INVOKE_FUNC,
                                              "The receive time written in a text", "pszString,pReceiveTime", true),
};
constexpr STypeDesc kSrc = InterfaceDesc(TKIND_DISPATCH, "IKVUDPSrc", &IID_IKVUDPSrc, "IKVUDPSrc Interface",
                                         TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FNONEXTENSIBLE, &kSrc1,
                                         kSrcFuncs);

constexpr SFuncDesc kCallbackFuncs[] = {
    DispFunc<&IKVSrcCallback::EventNotification>("EventNotification", 1, INVOKE_FUNC, nullptr,
                                                 "notificationType,Param1,Param2"),
};
constexpr STypeDesc kCallback = InterfaceDesc(TKIND_INTERFACE, "IKVSrcCallback", &IID_IKVSrcCallback,
                                              "IKVSrcCallback interface", 0, nullptr, kCallbackFuncs);

constexpr SConstDesc kEventTypes[] = {
    {"EVENTTYPE_NODATAAVAILABLE", EVENTTYPE_NODATAAVAILABLE, "The filter has never received any data."},
    {"EVENTTYPE_DATASTOPPED", EVENTTYPE_DATASTOPPED,
     "The filter received data in the past but now the data stopped coming."},
    {"EVENTTYPE_CONNECTIONLOST", EVENTTYPE_CONNECTIONLOST, "The connection was lost."},
};
constexpr STypeDesc kEventTypeEnum = EnumDesc("SrcEventNotificationConstants", nullptr, kEventTypes);

// The platform's interface and record, described so that Load and
// GetCurFile can be found through the library (they take a wide string and
// a record, so they cannot be invoked late-bound).
constexpr SFieldDesc kMediaTypeFields[] = {
    {"majortype", VT_USERDEFINED, "GUID"},   {"subtype", VT_USERDEFINED, "GUID"},
    {"bFixedSizeSamples", VT_I4, nullptr},   {"bTemporalCompression", VT_I4, nullptr},
    {"lSampleSize", VT_I4, nullptr},         {"formattype", VT_USERDEFINED, "GUID"},
    {"pUnk", VT_UNKNOWN, nullptr},           {"cbFormat", VT_I4, nullptr},
    {"pbFormat", VT_PTR, nullptr},
};
constexpr STypeDesc kMediaType = RecordDesc("_AMMediaType", nullptr, kMediaTypeFields);

constexpr SFuncDesc kFileSourceFuncs[] = {
    DispFunc<&IFileSourceFilter::Load>("Load", 1, INVOKE_FUNC, nullptr, "pszFileName,pmt"),
    DispFunc<&IFileSourceFilter::GetCurFile>("GetCurFile", 2, INVOKE_FUNC, nullptr, "ppszFileName,pmt"),
};
constexpr STypeDesc kFileSource =
    InterfaceDesc(TKIND_INTERFACE, "IFileSourceFilter", &IID_IFileSourceFilter, nullptr, 0, nullptr, kFileSourceFuncs);

constexpr SImplTypeDesc kClassImpl[] = {
    {&kSrc, IMPLTYPEFLAG_FDEFAULT}, {&kCallback, 0}, {&kFileSource, 0}};
constexpr STypeDesc kClass = CoClassDesc("KVUDPSrc", &CLSID_KVUDPSrc, "TARN MPEG2 Transport UDP Source",
                                         TYPEFLAG_FCANCREATE, kClassImpl);

constexpr const STypeDesc* kTypes[] = {&kSrc1, &kSrc, &kCallback, &kEventTypeEnum, &kMediaType, &kFileSource, &kClass};

}  // namespace

// Locale 0: the library is neutral, and registered and unregistered as such.
extern const STypeLibDesc g_KVUDPSrcTypeLib =
    TypeLibDesc("KVUDPSrcLib", LIBID_KVUDPSrcLib, 1, 0, 0, "TARN MPEG2 Transport UDP Source Library", kTypes);
