// The registry: where components publish their class identifiers, library
// paths, filter data and type libraries, and where CoCreateInstance and
// LoadRegTypeLib look them up.
//
// Two stores, each one text file:
//   user store    $XDG_CONFIG_HOME/kvudpsrc/registry, or ~/.config/kvudpsrc/registry
//   system store  <sysconfdir>/kvudpsrc/registry (/usr/local/etc/... for the
//                 default prefix, /etc/... for the prefix /usr)
// The environment variables KVUDPSRC_REGISTRY_USER and KVUDPSRC_REGISTRY_SYSTEM,
// when set and not empty, name the two files instead (tests point them into a
// temporary folder).
//
// Roots: HKEY_CURRENT_USER is the user store and HKEY_LOCAL_MACHINE the system
// store, both holding class keys directly ("CLSID\{...}", not
// "Software\Classes\CLSID\{...}"). HKEY_CLASSES_ROOT is the merged view that
// lookups use: a value in the user store hides the same value in the system
// store. Writes through HKEY_CLASSES_ROOT go to the system store when the
// process runs as root and to the user store otherwise; KVUDPSRC_REGISTRY_SCOPE
// ("user" or "system") overrides that choice.
//
// Key and value names compare without regard to ASCII letter case and keep
// the case they were first written with. "\" separates key names; an empty
// value name is the key's default value.
//
// File format (UTF-8 text, one item per line):
//   KVREG 1
//   [CLSID\{E2B7DF17-38C5-11D5-91F6-00104BDB8FF9}\InprocServer32]
//   @=sz:"/usr/local/lib/libkvudpsrc.so"
//   "ThreadingModel"=sz:"Both"
//   "Merit"=dword:00200000
//   "FilterData"=hex:02,00,00,00
//   END
// Strings escape \\, \" and control characters (\n, \r, \t, \xHH). Lines
// starting with ";" and blank lines are ignored. A file that does not start
// with the header, lacks the closing END (a partial write by a foreign tool)
// or has a line that does not parse is corrupt: every call that needs it
// fails with HRESULT_FROM_WIN32(ERROR_BADDB) and a platform trace line naming
// the file and line, and nothing is written over it. A missing file is an
// empty store.
//
// Concurrency: a writer holds an exclusive lock on "<store>.lock" from reading
// the store to replacing it, and replaces it atomically (a new file renamed
// over the old one), so concurrent writers in any processes never lose each
// other's changes and readers, which take no lock, see either the old or the
// new store, never a mix.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/wtext.h"

enum HKEY : uint32_t {
    HKEY_CLASSES_ROOT = 0x80000000u,
    HKEY_CURRENT_USER = 0x80000001u,
    HKEY_LOCAL_MACHINE = 0x80000002u,
};

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// The store file behind a root; HKEY_CLASSES_ROOT gives the store that its
// writes go to. E_INVALIDARG for another value; ERROR_PATH_NOT_FOUND when
// neither the environment nor the home folder gives a user store.
[[nodiscard]] HRESULT GetRegistryStorePath(HKEY hRoot, std::string* pstrPath);

// Lookups. A missing key or value gives HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
// a value of another type than asked for gives ERROR_UNSUPPORTED_TYPE.
[[nodiscard]] HRESULT RegGetValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwType,
                                  std::vector<BYTE>* pvData);
[[nodiscard]] HRESULT RegGetString(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, CWString* pstrValue);
[[nodiscard]] HRESULT RegGetDword(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwValue);
// S_OK when the key exists (with values, or as the parent of keys that do),
// S_FALSE when it does not.
[[nodiscard]] HRESULT RegKeyExists(HKEY hRoot, LPCWSTR pszSubKey);
// The names of the direct subkeys, in the case they were written, sorted
// without regard to case; empty when the key does not exist.
[[nodiscard]] HRESULT RegEnumSubKeys(HKEY hRoot, LPCWSTR pszSubKey, std::vector<CWString>* pvNames);

// One-call changes; each is a transaction of its own.
[[nodiscard]] HRESULT RegSetString(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPCWSTR pszValue);
[[nodiscard]] HRESULT RegSetDword(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwValue);
// ERROR_FILE_NOT_FOUND when the key does not exist in the written store.
[[nodiscard]] HRESULT RegDeleteTree(HKEY hRoot, LPCWSTR pszSubKey);

// Several changes to one store made visible together: Begin locks the store
// and reads it, the changes apply to that image, Commit replaces the store.
// A transaction that is not committed changes nothing. Lookups inside a
// transaction see its store only (for HKEY_CLASSES_ROOT, the written store),
// including the changes made so far.
class CRegTransaction
{
public:
    CRegTransaction();
    ~CRegTransaction();
    CRegTransaction(const CRegTransaction&) = delete;
    CRegTransaction& operator=(const CRegTransaction&) = delete;

    // Waits at most 10 s for another writer (ERROR_TIMEOUT); fails on a
    // corrupt store (ERROR_BADDB) or one that cannot be created.
    [[nodiscard]] HRESULT Begin(HKEY hRoot);
    // Creates the key and its parents; S_FALSE when it existed.
    [[nodiscard]] HRESULT CreateKey(LPCWSTR pszSubKey);
    [[nodiscard]] HRESULT SetValue(LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwType, const void* pv, DWORD cb);
    [[nodiscard]] HRESULT SetString(LPCWSTR pszSubKey, LPCWSTR pszValueName, LPCWSTR pszValue);
    [[nodiscard]] HRESULT SetDword(LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwValue);
    [[nodiscard]] HRESULT GetValue(LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwType, std::vector<BYTE>* pvData);
    [[nodiscard]] HRESULT GetString(LPCWSTR pszSubKey, LPCWSTR pszValueName, CWString* pstrValue);
    [[nodiscard]] HRESULT KeyExists(LPCWSTR pszSubKey);
    [[nodiscard]] HRESULT EnumSubKeys(LPCWSTR pszSubKey, std::vector<CWString>* pvNames);
    // ERROR_FILE_NOT_FOUND when missing.
    [[nodiscard]] HRESULT DeleteValue(LPCWSTR pszSubKey, LPCWSTR pszValueName);
    // The key and everything below it; ERROR_FILE_NOT_FOUND when missing.
    [[nodiscard]] HRESULT DeleteTree(LPCWSTR pszSubKey);
    // Deletes the key only when it has neither values nor subkeys; S_FALSE
    // when it was kept or did not exist.
    [[nodiscard]] HRESULT DeleteKeyIfEmpty(LPCWSTR pszSubKey);
    // Writes the store when something changed and releases the lock.
    [[nodiscard]] HRESULT Commit();

private:
    struct SState;
    std::unique_ptr<SState> m_p;  // null outside Begin..Commit
};
