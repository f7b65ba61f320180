// The registry's store file in memory: keys and values, and the text form
// they are read from and written to (registry.h describes the format). Only
// the registry uses it.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace kvreg {

struct SValue
{
    std::string strName;  // as first written; empty = default value
    DWORD dwType = REG_NONE;
    std::string data;  // REG_SZ: UTF-8; REG_DWORD: 4 bytes little-endian
};

struct SKey
{
    std::string strPath;  // as first written
    std::vector<SValue> vValues;
};

// Names compare with ASCII letters folded to upper case.
std::string Fold(std::string_view s);
bool EqualNoCase(std::string_view a, std::string_view b);

// Key paths: "\"-separated, no empty component, no control characters (they
// would break the line format). Leading and trailing separators are dropped.
HRESULT NormaliseKey(LPCWSTR pszSubKey, bool bAllowEmpty, std::string* pstr);

// Creates the folders above the file strPath (0755: other users read the
// system store).
HRESULT CreateParents(const std::string& strPath);

// One store file in memory, keyed by folded path.
class CStore
{
public:
    std::map<std::string, SKey> m_keys;

    // A missing file is an empty store; a corrupt one fails with
    // ERROR_BADDB and a trace line naming the file and line.
    HRESULT Load(const std::string& strPath);
    // Replaces the file atomically: a new file beside it, synced, renamed over it.
    HRESULT Save(const std::string& strPath) const;

    SKey* Find(const std::string& strPath)
    {
        auto it = m_keys.find(Fold(strPath));
        return it == m_keys.end() ? nullptr : &it->second;
    }
    SValue* FindValue(const std::string& strPath, const std::string& strName)
    {
        SKey* pKey = Find(strPath);
        if (!pKey)
            return nullptr;
        for (SValue& v : pKey->vValues) {
            if (EqualNoCase(v.strName, strName))
                return &v;
        }
        return nullptr;
    }
    // A key exists when it was written or when a key below it was.
    bool Exists(const std::string& strPath) const
    {
        const std::string f = Fold(strPath);
        if (f.empty() || m_keys.count(f))
            return true;
        const std::string prefix = f + "\\";
        auto it = m_keys.lower_bound(prefix);
        return it != m_keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
    }
    // Every key below strPath, at any depth.
    template <class Fn>
    void ForEachDescendant(const std::string& strPath, Fn fn) const
    {
        const std::string f = Fold(strPath);
        const std::string prefix = f.empty() ? std::string() : f + "\\";
        for (auto it = m_keys.lower_bound(prefix); it != m_keys.end(); ++it) {
            if (it->first.compare(0, prefix.size(), prefix) != 0)
                break;
            fn(it->second);
        }
    }
    void SubKeys(const std::string& strPath, std::vector<std::string>* pv) const
    {
        const size_t cchPrefix = strPath.empty() ? 0 : strPath.size() + 1;
        ForEachDescendant(strPath, [&](const SKey& key) {
            std::string name = key.strPath.substr(cchPrefix);
            name = name.substr(0, name.find('\\'));
            for (const std::string& s : *pv) {
                if (EqualNoCase(s, name))
                    return;
            }
            pv->push_back(name);
        });
    }
};

}  // namespace kvreg
