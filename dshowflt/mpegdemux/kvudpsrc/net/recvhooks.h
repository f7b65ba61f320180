// What the receive thread needs of the objects around it: the output pin it
// pushes elementary-stream units to, and the filter that owns it. The
// receive thread lives below both in the build, so it sees them only
// through these two interfaces; the filter and its pin implement them, and
// the receive thread's tests give it doubles.
//
// Threads: the methods are called on the receive thread, except two calls
// made by a change of the DVR writer's attributes, which arrive on the
// thread that commits the change: OnAttributesChanging, and ParameterBuffer
// when the restarted ring of a plain H.264 stream begins with the parameter
// sets. None of them is called while the receive thread holds one of its
// own locks. An implementation must not call back into the receive thread's
// command interface (CallWorker) from inside them when called on the receive
// thread: that thread is the one that would have to answer.
#pragma once

#include "platform/mediatype.h"
#include "platform/wintypes.h"

class CBuffer;

// The push half of the output pin.
class IRecvOutputPin
{
public:
    // One unit of received data. rtNetworkStart is the RTP parser's time of
    // the unit (100 ns units; 0 or less = none), rtLatency the Latency=
    // option, dwUnitFlags the parser's unit flags (1 end of frame,
    // 2 discontinuity, 4 sync point), bEndOfUnit set when every unit
    // completes a sample. S_OK whenever the pin is not pushing; a failure
    // ends the read loop.
    [[nodiscard]] virtual HRESULT DeliverData(const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart,
                                              REFERENCE_TIME rtLatency, DWORD dwUnitFlags,
                                              BOOL bEndOfUnit) = 0;

protected:
    ~IRecvOutputPin() = default;
};

// The filter side of the receive thread.
class IRecvFilter
{
public:
    // Data is flowing (FALSE) or a reader had to wait for it (TRUE).
    virtual void SetStarvation(BOOL bStarvation) = 0;
    // The DVR writer begins (FALSE) or has finished (TRUE, or -1 after a
    // failed restart) a change of its attributes; the filter's own DVR
    // reader lets go of the files meanwhile.
    [[nodiscard]] virtual HRESULT OnAttributesChanging(LONG lFlag) = 0;
    // Asked about once a second while the first data of a read loop is
    // awaited and a callback is registered. A failure ends the wait.
    [[nodiscard]] virtual HRESULT AskIfIShouldContinueWaiting(DWORD dwElapsedMs) = 0;
    // Whether the application registered a callback.
    virtual BOOL HasCallback() = 0;
    // Whether the filter belongs to a filter graph.
    virtual BOOL IsInFilterGraph() = 0;

    // The parameter sets given by the URL options (seq-headers=,
    // sprop-parameter-sets=). Written only while no read loop runs.
    virtual CBuffer& ParameterBuffer() = 0;
    // The elementary-stream media type: filled once the stream has been
    // described (mini parser) or from the sampling= option. The filter
    // copies it under its own lock; graph threads read it at any time.
    [[nodiscard]] virtual HRESULT SetOutputMediaType(const AM_MEDIA_TYPE* pmt) = 0;
    [[nodiscard]] virtual HRESULT GetOutputMediaType(AM_MEDIA_TYPE* pmt) = 0;
    // Major type not null.
    virtual BOOL IsOutputMediaTypeValid() = 0;

    // An event of the DVR writer for the application (the backup file could
    // not be written: kDVREventBackupFailed with the write's status), raised
    // on the thread that writes: the filter queues it as a graph event and
    // must not block. Without a graph to tell it is dropped.
    virtual void OnWriterEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
    {
        (void)lEventCode;
        (void)lParam1;
        (void)lParam2;
    }

protected:
    ~IRecvFilter() = default;
};
