// The running-object table across processes: a per-machine registry of live
// objects that another process of the same user reaches by name.
//
// Each registration whose object supports an interface with a registered
// marshaller listens on a Unix socket (SOCK_SEQPACKET) in the abstract
// namespace, named from the user id and the case-folded moniker. The kernel
// removes the name when the listening descriptor is closed, so the entry of a
// process that died disappears by itself and nobody has to clean up. A
// lookup is served from the in-process table first (an object of this
// process is handed out directly); otherwise it connects to the socket and
// returns a proxy built by the interface's marshaller.
//
// Security: the abstract namespace has no file permissions, so both ends
// check the other's credentials (SO_PEERCRED). The serving side refuses a
// peer of another user with E_ACCESSDENIED; the looking-up side refuses a
// server of another user (a name squatted by someone else) the same way.
//
// Time-outs: a proxy call never blocks its caller for longer than the call
// time-out (RemoteCallTimeout). A hung server gives RPC_E_TIMEOUT and the
// call's late reply is discarded by the next call; a dead server gives
// RPC_E_DISCONNECTED at once, and so does every later call on that proxy.
//
// Threads: each registration has one accepting thread; each connection is
// served by a thread of its own that calls the object, so that one slow call
// (a copy) does not hold up a reader's status calls. Revoke never waits for
// a call in progress (the object may be revoked from under its own lock,
// which such a call may be waiting for): it stops accepting and shuts the
// connections down; a call in progress keeps its own reference to the object
// until it returns.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bstr.h"
#include "platform/rot.h"

// Request and reply bodies: explicit little-endian fields. Every Get fails
// with KVMM_E_INVALID_DATA once the body is exhausted or malformed, and
// stays failed, so a decoder may test only its last result.
class CWireWriter
{
public:
    void PutDword(DWORD dw);
    void PutLong(LONG l) { PutDword(static_cast<DWORD>(l)); }
    void PutDouble(double d);
    // Keeps a null BSTR apart from an empty one, and embedded zeros.
    void PutBstr(BSTR bstr);
    void PutWString(std::u16string_view wsz);
    void PutBytes(const void* pv, size_t cb);
    const std::vector<BYTE>& Bytes() const { return m_ab; }

private:
    std::vector<BYTE> m_ab;
};

class CWireReader
{
public:
    CWireReader() = default;
    CWireReader(const BYTE* pb, size_t cb) : m_ab(pb, pb + cb) {}
    void Assign(const BYTE* pb, size_t cb) { m_ab.assign(pb, pb + cb), m_ib = 0, m_hr = S_OK; }

    [[nodiscard]] HRESULT GetDword(DWORD* pdw);
    [[nodiscard]] HRESULT GetLong(LONG* pl);
    [[nodiscard]] HRESULT GetDouble(double* pd);
    // *pbstr receives a new BSTR (nullptr for a null one) that the caller
    // frees; E_OUTOFMEMORY when it cannot be made.
    [[nodiscard]] HRESULT GetBstr(BSTR* pbstr);
    [[nodiscard]] HRESULT GetWString(CWString* pstr);
    [[nodiscard]] HRESULT GetBytes(void* pv, size_t cb);
    HRESULT Status() const { return m_hr; }

private:
    std::vector<BYTE> m_ab;
    size_t m_ib = 0;
    HRESULT m_hr = S_OK;
};

// The client end of one connection to a served object. Calls are serialised;
// a caller waiting for another caller's call counts that wait against its
// own time-out.
class CRemoteChannel;

// Per-connection server state for one interface: decodes a request, calls
// the object and encodes the reply. Created for each connection and deleted
// when the connection ends (so it can undo what a vanished client left
// behind, such as reader registrations).
class CStubConnection
{
public:
    virtual ~CStubConnection() = default;
    // Returns the call's own result. Handles appended to *pHandles (valid
    // ones only) are sent after the reply, in order, and then closed by the
    // caller. A failure to decode is returned as KVMM_E_INVALID_DATA.
    [[nodiscard]] virtual HRESULT Invoke(DWORD dwMethod, CWireReader* pIn, CWireWriter* pOut,
                                         std::vector<HANDLE>* pHandles) = 0;
};

// Marshalling of one interface. pObject passed to pfnCreateStub is already
// the interface asked for by iid (a reference owned by the stub afterwards);
// pfnCreateProxy takes a reference of its own to the channel and hands out
// an IUnknown that answers iid.
struct SInterfaceMarshaller
{
    IID iid;
    HRESULT (*pfnCreateStub)(IUnknown* pObject, CStubConnection** ppStub);
    HRESULT (*pfnCreateProxy)(CRemoteChannel* pChannel, IUnknown** ppProxy);
};

// Makes objects that answer p->iid reachable from other processes. The
// record must stay valid for the life of the process; registering the same
// record again does nothing. Also puts the cross-process table in place as
// the process-wide one when no other table was installed.
void RegisterInterfaceMarshaller(const SInterfaceMarshaller* p);

// Time-out of every proxy call and of a lookup's handshake, in ms (default
// 5000). A status thread that calls with shorter time-outs of its own is
// protected by this one only when the remote writer hangs for good.
void SetRemoteCallTimeout(DWORD dwMs);
DWORD RemoteCallTimeout();

class CRemoteChannel
{
public:
    // Takes over the connected socket.
    explicit CRemoteChannel(int fdSocket);
    ~CRemoteChannel();
    CRemoteChannel(const CRemoteChannel&) = delete;
    CRemoteChannel& operator=(const CRemoteChannel&) = delete;

    ULONG AddRef();
    ULONG Release();

    // Sends the request and waits for its reply for at most the call
    // time-out. On S_OK *phrCall is the object's own result, *pOut the reply
    // body and phHandles[0..cHandles) the handles that came with it (the
    // caller closes them; INVALID_HANDLE_VALUE where the object gave none).
    // Transport failures: RPC_E_TIMEOUT, RPC_E_DISCONNECTED,
    // KVMM_E_INVALID_DATA.
    [[nodiscard]] HRESULT Call(DWORD dwMethod, const CWireWriter& in, HRESULT* phrCall, CWireReader* pOut,
                               HANDLE* phHandles, DWORD cHandles);

private:
    class CImpl;
    CImpl* m_pImpl;
    std::atomic<ULONG> m_cRef{1};
};

// The table. Objects registered here are also in an in-process table of
// its own, which serves this process's lookups.
class CCrossProcessObjectTable : public IRunningObjectTable
{
public:
    CCrossProcessObjectTable();
    ~CCrossProcessObjectTable() override;
    CCrossProcessObjectTable(const CCrossProcessObjectTable&) = delete;
    CCrossProcessObjectTable& operator=(const CCrossProcessObjectTable&) = delete;

    // A name that is already served by this process stays reachable from
    // other processes through its first registration only.
    [[nodiscard]] HRESULT Register(DWORD grfFlags, IUnknown* pUnk, const CItemMoniker& mk,
                                   DWORD* pdwCookie) override;
    [[nodiscard]] HRESULT Revoke(DWORD dwCookie) override;
    [[nodiscard]] HRESULT IsRunning(const CItemMoniker& mk) override;
    // MK_E_UNAVAILABLE at once when nobody serves the name; E_ACCESSDENIED
    // for a server of another user or one that refuses us; RPC_E_TIMEOUT
    // for a server that does not answer the handshake.
    [[nodiscard]] HRESULT GetObject(const CItemMoniker& mk, IUnknown** ppUnk) override;

    // Looks mk up among the entries served for the user uid, skipping this
    // process's own table. Names live in a namespace per user, so this is
    // the only way to reach another user's entry, and the server refuses it
    // (E_ACCESSDENIED): what a hostile process would try.
    [[nodiscard]] static HRESULT ConnectToObject(unsigned uid, const CItemMoniker& mk, IUnknown** ppUnk);

private:
    class CImpl;
    CImpl* m_pImpl;
};

// The abstract socket name that serves mk for the user uid (without the
// leading zero byte). Exposed for tests that talk to a server by hand.
std::string ObjectTableSocketName(unsigned uid, const CItemMoniker& mk);
