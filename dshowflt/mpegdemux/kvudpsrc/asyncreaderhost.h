// What the output pin needs of the filter around it. The pin serves the DVR
// buffer through the request queue, but starting the DVR reader and emptying
// the buffer are the filter's: only the filter knows its receive thread, the
// DVR writer that thread runs and whether that writer is writing at all.
//
// Threads: both hooks are called on the graph's thread while a connection
// is being made, EnsureDVRReader from inside the pin's QueryInterface while
// the platform's Connect holds the filter lock. The pin holds none of its
// own locks when it calls them. Neither hook may call back into the pin's
// connection operations.
#pragma once

#include "platform/hresult.h"

class IAsyncReaderHost
{
public:
    // A downstream pin asks for IAsyncReader, IAsyncReader2 or
    // IAsyncReader3 for the first time in this connection: the pull reads
    // that follow need the DVR reader running. When it runs already: S_OK
    // and nothing else. Otherwise the receive thread must be writing the DVR
    // buffer (E_NOINTERFACE when its DVR writing has been switched off: an
    // elementary stream described by a mini parser can only be pushed); the
    // filter opens the buffer's stub file for reading and starts the DVR
    // reader on the receive thread's writer. The failure of either step is
    // returned, and the pin then refuses the interface with it.
    [[nodiscard]] virtual HRESULT EnsureDVRReader() = 0;

    // The pin connects again after a connection that had completed: stop
    // the DVR reader, restart the DVR writer with the same stream identifier
    // so that the buffer starts empty, and start the reader on it again. A
    // failure is traced by the pin, which connects anyway.
    [[nodiscard]] virtual HRESULT ResetPointer() = 0;

protected:
    ~IAsyncReaderHost() = default;
};
