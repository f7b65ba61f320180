// The receive thread's two partners as benchmarks want them: a filter in a
// graph that answers everything at once, and (where nothing downstream is
// measured) a pin that takes every unit and drops it.
#pragma once

#include "dshowflt/common/buffer.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvhooks.h"

class CBenchFilter : public IRecvFilter
{
public:
    void SetStarvation(BOOL) override {}
    HRESULT OnAttributesChanging(LONG) override { return S_OK; }
    HRESULT AskIfIShouldContinueWaiting(DWORD) override { return S_OK; }
    BOOL HasCallback() override { return FALSE; }
    // In a graph: the writer enters the object table and names itself in
    // the stub, which is how followers know the ring still grows.
    BOOL IsInFilterGraph() override { return TRUE; }
    CBuffer& ParameterBuffer() override { return m_params; }
    HRESULT SetOutputMediaType(const AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT GetOutputMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    BOOL IsOutputMediaTypeValid() override { return FALSE; }

private:
    CBuffer m_params;
};

class CNullPin : public IRecvOutputPin
{
public:
    HRESULT DeliverData(const BYTE*, LONG, REFERENCE_TIME, REFERENCE_TIME, DWORD, BOOL) override { return S_OK; }
};
