// IKVDVRSink across processes: the proxy that a reader in another process
// gets from the object table, and the stub that serves it in the writer's
// process (see platform/xprocrot.h for the transport).
//
// Every operation is marshalled with its in and out values; a null output
// pointer stays null on the writer's side, so the writer's own E_POINTER
// checks hold. The reader events of RegisterReader and RegisterReaderEx
// travel as descriptors, so a SetEvent in the writer wakes a waiter in the
// reader's process.
//
// Reader keys: a reader picks its key from an address of its own, and two
// processes may pick the same one. The stub therefore gives each key of a
// connection a key of its own in the writer, and unregisters whatever a
// connection left registered when it ends (its reader process died).
//
// Transport failures are the proxy calls' results: RPC_E_TIMEOUT for a
// writer that does not answer in time, RPC_E_DISCONNECTED for one that has
// gone, E_ACCESSDENIED for one that refuses us.
#pragma once

#include "platform/xprocrot.h"

// Makes IKVDVRSink objects reachable from other processes through the
// process-wide object table, putting the cross-process table in place when
// it is not yet. Idempotent; also done when the library is loaded, so a
// writer's AddSinkToROT publishes across processes without a call.
void InstallDVRSinkMarshaller();

// The marshaller record itself, so that the request decoder can be driven
// without a connection (the wire fuzz target).
const SInterfaceMarshaller& DVRSinkMarshaller();
