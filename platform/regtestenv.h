// For tests: points both registry stores into a fresh temporary folder for
// the lifetime of the object, writing HKEY_CLASSES_ROOT to the user store,
// and puts the environment back afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

// Whole files as strings, for the platform tests.
inline std::string ReadTestFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
inline void WriteTestFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

class CRegistryTestEnv
{
public:
    CRegistryTestEnv()
    {
        const char* pszTmp = getenv("TMPDIR");
        std::string tmpl = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/kvregXXXXXX";
        if (mkdtemp(tmpl.data()))
            m_strFolder = tmpl;
        for (size_t i = 0; i < std::size(kVars); ++i) {
            const char* pszOld = getenv(kVars[i]);
            if (pszOld)
                m_old[i] = pszOld;
        }
        setenv("KVUDPSRC_REGISTRY_USER", UserStore().c_str(), 1);
        setenv("KVUDPSRC_REGISTRY_SYSTEM", SystemStore().c_str(), 1);
        setenv("KVUDPSRC_REGISTRY_SCOPE", "user", 1);
    }
    ~CRegistryTestEnv()
    {
        for (size_t i = 0; i < std::size(kVars); ++i) {
            if (m_old[i])
                setenv(kVars[i], m_old[i]->c_str(), 1);
            else
                unsetenv(kVars[i]);
        }
        std::error_code ec;
        if (!m_strFolder.empty())
            std::filesystem::remove_all(m_strFolder, ec);
    }
    CRegistryTestEnv(const CRegistryTestEnv&) = delete;
    CRegistryTestEnv& operator=(const CRegistryTestEnv&) = delete;

    const std::string& Folder() const { return m_strFolder; }
    std::string UserStore() const { return m_strFolder + "/user"; }
    std::string SystemStore() const { return m_strFolder + "/system/registry"; }

private:
    static constexpr const char* kVars[] = {"KVUDPSRC_REGISTRY_USER", "KVUDPSRC_REGISTRY_SYSTEM",
                                            "KVUDPSRC_REGISTRY_SCOPE", "XDG_CONFIG_HOME"};
    std::string m_strFolder;
    std::optional<std::string> m_old[std::size(kVars)];
};
