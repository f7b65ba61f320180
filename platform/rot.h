// The running-object table: live objects registered under a name, so that a
// party that knows only the name (a DVR reader that found it in a stub file)
// can reach the object. Names are item monikers: a delimiter ("!") and an
// item name; two monikers are the same when their delimiters match and their
// item names match without regard to case, as item monikers compare.
//
// Callers go through IRunningObjectTable and the process-wide accessor, so a
// table that reaches other processes can be put in later without changing
// them. The table here is per process.
#pragma once

#include "platform/critsec.h"
#include "platform/unknown.h"
#include "platform/wtext.h"

// The table keeps the object alive until it is revoked. It is the only kind
// of registration offered: a weak entry would let a lookup hand out an
// object that is being destroyed.
constexpr DWORD ROTFLAGS_REGISTRATIONKEEPSALIVE = 0x1;

class CItemMoniker
{
public:
    CItemMoniker() = default;
    CItemMoniker(std::u16string_view delimiter, std::u16string_view item) : m_strDelimiter(delimiter), m_strItem(item)
    {
    }

    const CWString& Delimiter() const { return m_strDelimiter; }
    const CWString& Item() const { return m_strItem; }
    // Delimiter followed by the item ("!TARN DVR Sink ...").
    CWString DisplayName() const { return m_strDelimiter + m_strItem; }
    bool IsEqual(const CItemMoniker& other) const;

private:
    CWString m_strDelimiter;
    CWString m_strItem;
};

class IRunningObjectTable
{
public:
    virtual ~IRunningObjectTable() = default;
    // Registers pUnk under mk and takes a reference to it. *pdwCookie is
    // never 0. An empty item name is MK_E_SYNTAX. A name registered twice is
    // kept twice; a lookup finds the older entry.
    [[nodiscard]] virtual HRESULT Register(DWORD grfFlags, IUnknown* pUnk, const CItemMoniker& mk,
                                           DWORD* pdwCookie) = 0;
    // Removes the entry and releases its reference. E_INVALIDARG for a
    // cookie that is not registered.
    [[nodiscard]] virtual HRESULT Revoke(DWORD dwCookie) = 0;
    // S_OK when something is registered under mk, S_FALSE otherwise.
    [[nodiscard]] virtual HRESULT IsRunning(const CItemMoniker& mk) = 0;
    // *ppUnk receives a reference to the object registered under mk;
    // MK_E_UNAVAILABLE when there is none.
    [[nodiscard]] virtual HRESULT GetObject(const CItemMoniker& mk, IUnknown** ppUnk) = 0;
};

// The process-wide table (the in-process one unless replaced). The pointer
// stays valid for the life of the process; it is not reference-counted.
[[nodiscard]] HRESULT GetRunningObjectTable(IRunningObjectTable** ppTable);
// Puts another table in place of the in-process one (nullptr goes back to
// it) and returns the one in place before. For a cross-process registry and
// for tests; callers must not race it against lookups they care about.
IRunningObjectTable* SetRunningObjectTable(IRunningObjectTable* pTable);

// The in-process table.
class CInProcessObjectTable : public IRunningObjectTable
{
public:
    CInProcessObjectTable() = default;
    ~CInProcessObjectTable() override;
    CInProcessObjectTable(const CInProcessObjectTable&) = delete;
    CInProcessObjectTable& operator=(const CInProcessObjectTable&) = delete;

    [[nodiscard]] HRESULT Register(DWORD grfFlags, IUnknown* pUnk, const CItemMoniker& mk,
                                   DWORD* pdwCookie) override;
    [[nodiscard]] HRESULT Revoke(DWORD dwCookie) override;
    [[nodiscard]] HRESULT IsRunning(const CItemMoniker& mk) override;
    [[nodiscard]] HRESULT GetObject(const CItemMoniker& mk, IUnknown** ppUnk) override;

private:
    struct SEntry
    {
        DWORD dwCookie;
        CItemMoniker mk;
        IUnknown* pUnk;  // one reference, owned by the table
        SEntry* pNext;
    };
    // Objects are released after the lock is dropped: a final Release may
    // run a destructor that revokes or looks up in this table.
    CCritSec m_cs;
    SEntry* m_pFirst GUARDED_BY(m_cs) = nullptr;  // oldest first
    DWORD m_dwNextCookie GUARDED_BY(m_cs) = 1;
};
