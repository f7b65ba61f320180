// The filter graph manager: holds the filters, connects their pins, changes
// the state of all of them together and queues the events filters send for
// the application to read.
//
// Threads: the application calls the IFilterGraph2/IMediaControl/IMediaEvent
// operations; filters send events from any of their threads. State changes
// and connections are serialised by m_csGraph; the event queue has its own
// lock so that a filter may send an event while the graph is busy changing
// its state (and waiting on that filter).
//
// Lock order: m_csGraph, then filter locks; m_mtxEvents and m_mtxReconnect
// are taken alone.
#pragma once

#include <deque>
#include <vector>

#include "platform/critsec.h"
#include "platform/graph/gsync.h"
#include "platform/graph/mtype.h"
#include "platform/graph/strmif.h"
#include "platform/wtext.h"

class CFilterGraph : public CUnknown,
                     public IFilterGraph2,
                     public IMediaControl,
                     public IMediaEvent,
                     public IMediaEventSink
{
public:
    // A new graph with one reference held by *ppGraph.
    [[nodiscard]] static HRESULT Create(CFilterGraph** ppGraph);
    ~CFilterGraph() override;

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFilterGraph / IFilterGraph2
    [[nodiscard]] HRESULT AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override;
    // Stops and disconnects the filter, then tells it it has left.
    [[nodiscard]] HRESULT RemoveFilter(IBaseFilter* pFilter) override;
    [[nodiscard]] HRESULT FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override;
    [[nodiscard]] HRESULT ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT Reconnect(IPin* ppin) override;
    [[nodiscard]] HRESULT Disconnect(IPin* ppin) override;
    // While stopped the pins are reconnected at once. Otherwise (or while
    // another thread is inside the graph) the request is kept and carried
    // out when the graph has stopped, at the end of Stop or before the next
    // Pause or Run: a pin may ask from its streaming thread, while the
    // graph thread waits for that very thread to stop. The latest request
    // per pin wins.
    [[nodiscard]] HRESULT ReconnectEx(IPin* ppin, const AM_MEDIA_TYPE* pmt) override;

    // IMediaControl. Every filter is told, the most downstream first, so that
    // a consumer is ready before its producer starts.
    [[nodiscard]] HRESULT Run() override;
    [[nodiscard]] HRESULT Pause() override;
    [[nodiscard]] HRESULT Stop() override;
    // The worst of the filters' answers: a failure, else
    // VFW_S_STATE_INTERMEDIATE, else VFW_S_CANT_CUE, else S_OK.
    [[nodiscard]] HRESULT GetState(LONG msTimeout, FILTER_STATE* pfs) override;

    // IMediaEvent
    [[nodiscard]] HRESULT GetEvent(long* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, long msTimeout) override;
    [[nodiscard]] HRESULT FreeEventParams(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2) override;

    // IMediaEventSink
    [[nodiscard]] HRESULT Notify(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2) override;

    // Reconnections waiting for the graph to stop.
    size_t PendingReconnects();

private:
    CFilterGraph();
    struct CEntry
    {
        IBaseFilter* pFilter;  // referenced
        CWString strName;
    };
    struct CEvent
    {
        long lCode;
        LONG_PTR lParam1;
        LONG_PTR lParam2;
    };
    struct CReconnect
    {
        IPin* pPin;  // referenced
        CMediaType mt;
        bool bHasType;
    };

    // Filters ordered so that each comes before every filter upstream of it.
    [[nodiscard]] HRESULT SortDownstreamFirst(std::vector<IBaseFilter*>* pvOrder) REQUIRES(m_csGraph);
    [[nodiscard]] HRESULT PauseLocked() REQUIRES(m_csGraph);
    [[nodiscard]] HRESULT StopLocked() REQUIRES(m_csGraph);
    [[nodiscard]] HRESULT DoReconnect(IPin* ppin, const AM_MEDIA_TYPE* pmt) REQUIRES(m_csGraph);
    [[nodiscard]] HRESULT DisconnectFilter(IBaseFilter* pFilter) REQUIRES(m_csGraph);
    void RunPendingReconnects() REQUIRES(m_csGraph);
    void KeepReconnect(IPin* ppin, const AM_MEDIA_TYPE* pmt);

    CCritSec m_csGraph;
    std::vector<CEntry> m_vFilters GUARDED_BY(m_csGraph);
    FILTER_STATE m_state GUARDED_BY(m_csGraph) = State_Stopped;

    CGraphMutex m_mtxReconnect;
    std::vector<CReconnect> m_vReconnects GUARDED_BY(m_mtxReconnect);

    CGraphMutex m_mtxEvents;
    CGraphCond m_cvEvents;
    std::deque<CEvent> m_dqEvents GUARDED_BY(m_mtxEvents);
};
