// Reference-counted interfaces in the manner of COM: IUnknown, the
// non-delegating unknown that makes aggregation possible, CUnknown as the
// base of every object that hands out interfaces, and CComPtr to own a
// reference.
//
// Aggregation: an object created with an outer unknown forwards its
// QueryInterface, AddRef and Release to the outer object, so that the
// aggregate has one identity and one count. The outer object keeps the
// inner object's non-delegating unknown to reach the inner interfaces and to
// release it.
#pragma once

#include <memory>
#include <atomic>
#include <utility>

#include "platform/guid.h"
#include "platform/hresult.h"

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// No virtual destructor: the slot order of every interface is the three
// operations below followed by its own, and objects are freed by their
// implementation when the count falls to 0, never through an interface.
struct IUnknown
{
    [[nodiscard]] virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct INonDelegatingUnknown
{
    [[nodiscard]] virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;
};

// Hands out pUnk as *ppv with a reference added through pUnk's own AddRef,
// which for an aggregated object lands on the outer object.
[[nodiscard]] HRESULT GetInterface(IUnknown* pUnk, void** ppv);

// Base of every object with interfaces. A new object starts with a count of
// 0; whoever creates it takes the first reference. The object deletes itself
// when its non-delegating count falls to 0.
class CUnknown : public INonDelegatingUnknown
{
public:
    CUnknown(const char* pszName, IUnknown* pUnkOuter);
    virtual ~CUnknown() = default;
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    // The unknown that the object's own interfaces delegate to: the outer
    // object when aggregated, else this object's non-delegating unknown.
    IUnknown* GetOwner() const { return m_pUnknown; }
    // This object's own identity, even when aggregated; what an outer object
    // keeps to reach the inner interfaces.
    IUnknown* GetNonDelegatingUnknown() { return &m_ndThunk; }
    const char* Name() const { return m_pszName; }

    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

protected:
    std::atomic<LONG> m_cRef{0};

private:
    // Presents the non-delegating operations as a plain IUnknown so that an
    // outer object can hold and call them like any other interface.
    class CNDThunk : public IUnknown
    {
    public:
        explicit CNDThunk(CUnknown* pOwner) : m_pOwner(pOwner) {}
        [[nodiscard]] HRESULT QueryInterface(REFIID riid, void** ppv) override
        {
            return m_pOwner->NonDelegatingQueryInterface(riid, ppv);
        }
        ULONG AddRef() override { return m_pOwner->NonDelegatingAddRef(); }
        ULONG Release() override { return m_pOwner->NonDelegatingRelease(); }

    private:
        CUnknown* const m_pOwner;
    };

    const char* const m_pszName;
    CNDThunk m_ndThunk;
    IUnknown* const m_pUnknown;
};

// Put in a class that derives from CUnknown and from one or more interfaces:
// the interfaces' IUnknown operations go to the owner.
#define DECLARE_IUNKNOWN                                                          \
    [[nodiscard]] HRESULT QueryInterface(REFIID riid, void** ppv) override        \
    {                                                                             \
        return GetOwner()->QueryInterface(riid, ppv);                             \
    }                                                                             \
    ULONG AddRef() override { return GetOwner()->AddRef(); }                      \
    ULONG Release() override { return GetOwner()->Release(); }

// Owns one reference. operator& hands out the slot for an out parameter,
// releasing whatever the pointer held first.
template <class T>
class CComPtr
{
public:
    CComPtr() = default;
    CComPtr(T* p) : m_p(p)  // NOLINT: implicit like the original
    {
        if (m_p)
            m_p->AddRef();
    }
    CComPtr(const CComPtr& o) : CComPtr(o.m_p) {}
    CComPtr(CComPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    ~CComPtr() { Release(); }
    CComPtr& operator=(T* p)
    {
        if (p)
            p->AddRef();
        Release();
        m_p = p;
        return *this;
    }
    CComPtr& operator=(const CComPtr& o) { return *this = o.m_p; }
    CComPtr& operator=(CComPtr&& o) noexcept
    {
        if (this != std::addressof(o)) {
            Release();
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }

    T* operator->() const { return m_p; }
    operator T*() const { return m_p; }  // NOLINT
    T** operator&()
    {
        Release();
        return &m_p;
    }
    T* Get() const { return m_p; }

    // Takes over a reference the caller already owns.
    void Attach(T* p)
    {
        Release();
        m_p = p;
    }
    // Gives up ownership without releasing.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Release()
    {
        T* p = m_p;
        m_p = nullptr;
        if (p)
            p->Release();
    }
    // Queries the held object; *ppOut receives a reference.
    template <class Q>
    [[nodiscard]] HRESULT QueryInterface(REFIID riid, Q** ppOut) const
    {
        if (!ppOut)
            return E_POINTER;
        *ppOut = nullptr;
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(riid, reinterpret_cast<void**>(ppOut));
    }

private:
    T* m_p = nullptr;
};
