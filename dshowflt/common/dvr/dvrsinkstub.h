// A writer interface whose operations all answer E_NOTIMPL: test doubles
// and benchmarks derive from it and override only what they exercise.
#pragma once

#include "dshowflt/common/dvr/dvrsinkif.h"

class CNotImplDVRSink : public IKVDVRSink
{
public:
    HRESULT GetAvailableRange(double*, double*, double*) override { return E_NOTIMPL; }
    HRESULT SetFolderCount(LONG) override { return E_NOTIMPL; }
    HRESULT GetFolderCount(LONG*) override { return E_NOTIMPL; }
    HRESULT SetFolderName(LONG, BSTR) override { return E_NOTIMPL; }
    HRESULT GetFolderName(LONG, BSTR*) override { return E_NOTIMPL; }
    HRESULT SetBaseName(BSTR) override { return E_NOTIMPL; }
    HRESULT GetBaseName(BSTR*) override { return E_NOTIMPL; }
    HRESULT SetBufferSize(LONG, LONG, double) override { return E_NOTIMPL; }
    HRESULT GetBufferSize(LONG, LONG, LONG*, double*) override { return E_NOTIMPL; }
    HRESULT CopyToFile(BSTR, double, double) override { return E_NOTIMPL; }
    HRESULT RegisterReader(LONG, LONG, HANDLE*, HANDLE*) override { return E_NOTIMPL; }
    HRESULT GetRecordingInfo(LONG, BSTR*, double*, double*, LONG*, LONG*) override { return E_NOTIMPL; }
    HRESULT StartChangingAttributes() override { return E_NOTIMPL; }
    HRESULT EndChangingAttributes(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT StartBackupToFile(BSTR, LONG) override { return E_NOTIMPL; }
    HRESULT StopBackupToFile() override { return E_NOTIMPL; }
    HRESULT GetTimeRange(double, double, LONG, LONG) override { return E_NOTIMPL; }
    HRESULT GetTimeRangeEx(double, double, double, LONG, LONG, LONG) override { return E_NOTIMPL; }
};
