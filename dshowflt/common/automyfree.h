// automyfree: frees a malloc'd block (task memory, strings handed out by
// platform calls) when the owner leaves scope.
#pragma once

#include <cstdlib>

template <class T>
class automyfree
{
public:
    explicit automyfree(T* p = nullptr) : m_p(p) {}
    ~automyfree() { free(m_p); }
    automyfree(const automyfree&) = delete;
    automyfree& operator=(const automyfree&) = delete;

    T* get() const { return m_p; }
    T** operator&() { return &m_p; }
    operator T*() const { return m_p; }
    T* detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset(T* p = nullptr)
    {
        free(m_p);
        m_p = p;
    }

private:
    T* m_p;
};
