// What an application needs to use the network source filter: its class
// identifier, the automation interface IKVUDPSrc (callback registration and
// the receive-time log) and the callback interface the application
// implements. The filter also answers IFileSourceFilter (platform/graph/
// strmif.h), IKVDVRSource (dshowflt/common/dvr/dvrsourceif.h) and
// IKVDVRSink (dshowflt/common/dvr/dvrsinkif.h).
//
// An application creates the filter with CoCreateInstance(CLSID_KVUDPSrc)
// once the component is registered (`kvudpsrc register`), or links the
// filter library and calls CKVMpg2TSSrc::CreateInstance.
#pragma once

#include "platform/oleauto.h"

// {E2B7DF17-38C5-11D5-91F6-00104BDB8FF9}
constexpr CLSID CLSID_KVUDPSrc = {0xE2B7DF17, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DF1C-38C5-11D5-91F6-00104BDB8FF9}: the type library.
constexpr GUID LIBID_KVUDPSrcLib = {0xE2B7DF1C, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DF1F-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVUDPSrc1 = {0xE2B7DF1F, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DF87-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVUDPSrc = {0xE2B7DF87, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DE6D-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVSrcCallback = {0xE2B7DE6D, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};

// The filter's name, in its registration and as its object name.
constexpr const char16_t* kKVUDPSrcName = u"TARN MPEG2 Transport UDP Source";

enum SrcEventNotificationConstants : LONG {
    // The filter has never received any data: asked about once a second
    // while the first data of a read is awaited. A failure returned by the
    // callback ends the wait.
    EVENTTYPE_NODATAAVAILABLE = 0,
    // Part of the interface, never sent.
    EVENTTYPE_DATASTOPPED = 1,
    EVENTTYPE_CONNECTIONLOST = 2,
};

// Implemented by the application. Param1 of EVENTTYPE_NODATAAVAILABLE is the
// number of milliseconds since the read began; Param2 is 0. Called on the
// receive thread (CallInSameThread off) or while that thread waits up to
// 10 ms for the answer: it must return promptly and must not call the
// filter's Load, JoinFilterGraph or state changes, which wait for the very
// read that asks.
struct IKVSrcCallback : public IUnknown
{
    [[nodiscard]] virtual HRESULT EventNotification(SrcEventNotificationConstants notificationType, double Param1,
                                                    double Param2) = 0;
};

// Dispatch ids 1 and 2, slots 7 to 10 (after IDispatch).
struct IKVUDPSrc1 : public IDispatch
{
    // An object answering IKVSrcCallback, or null to remove the callback.
    // The callback is called on the thread that registers it when
    // CallInSameThread is set (that thread must dispatch its messages), and
    // on the receive thread otherwise.
    [[nodiscard]] virtual HRESULT put_CallbackObj(IUnknown* pCallback) = 0;
    [[nodiscard]] virtual HRESULT get_CallbackObj(IUnknown** pCallback) = 0;
    [[nodiscard]] virtual HRESULT put_CallInSameThread(VARIANT_BOOL bVal) = 0;
    [[nodiscard]] virtual HRESULT get_CallInSameThread(VARIANT_BOOL* pbVal) = 0;
};

// Dispatch ids 3 to 6, slots 11 to 14: the receive-time log, which the
// Logging=1 option of the URL switches on. Times are file times (100 ns
// units since 1601-01-01 UTC) in doubles; strings are
// "YYYY_MM_DD__hh_mm_ss_mmm" between a prefix and a suffix.
struct IKVUDPSrc : public IKVUDPSrc1
{
    // The time at which stream byte offset (truncated) arrived.
    [[nodiscard]] virtual HRESULT GetReceiveTime(double offset, double* pReceiveTime) = 0;
    [[nodiscard]] virtual HRESULT StopLogging() = 0;
    [[nodiscard]] virtual HRESULT ConvertTimeToString(double receiveTime, BSTR pszPrefix, BSTR pszSuffix,
                                                      BSTR* pRet) = 0;
    [[nodiscard]] virtual HRESULT ConvertStringToTime(BSTR pszString, double* pReceiveTime) = 0;
};
