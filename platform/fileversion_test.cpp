#include "platform/fileversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/regtestenv.h"
#include "platform/wtext.h"

namespace {

HRESULT VersionOf(const std::string& path, ULONGLONG* pull)
{
    return GetFileVersion(Utf8ToWide(path).c_str(), pull);
}

// A minimal ELF file written field by field in either byte order, holding
// one note, reached through a PT_NOTE program header or only through a
// SHT_NOTE section header: what another machine's build would look like.
class CElfWriter
{
public:
    CElfWriter(bool b64, bool bBig) : m_b64(b64), m_bBig(bBig) {}

    std::string Build(const std::string& note, bool bProgramHeader)
    {
        const size_t cbEhdr = m_b64 ? 64 : 52, cbPhdr = m_b64 ? 56 : 32, cbShdr = m_b64 ? 64 : 40;
        const size_t offNote = cbEhdr + cbPhdr;
        const size_t offShdr = offNote + note.size();
        m_s.clear();
        m_s += "\x7F" "ELF";
        m_s += static_cast<char>(m_b64 ? 2 : 1);
        m_s += static_cast<char>(m_bBig ? 2 : 1);
        m_s += '\x01';
        m_s.append(9, '\0');
        U16(3);  // ET_DYN
        U16(62);
        U32(1);
        Addr(0);                                     // entry
        Addr(bProgramHeader ? cbEhdr : 0);           // phoff
        Addr(bProgramHeader ? 0 : offShdr);          // shoff
        U32(0);
        U16(static_cast<uint16_t>(cbEhdr));
        U16(static_cast<uint16_t>(cbPhdr));
        U16(bProgramHeader ? 1 : 0);
        U16(static_cast<uint16_t>(cbShdr));
        U16(bProgramHeader ? 0 : 1);
        U16(0);
        // One program header (written even when unused, to keep offsets simple).
        U32(4);  // PT_NOTE
        if (m_b64) {
            U32(4);
            Addr(offNote), Addr(0), Addr(0), Addr(note.size()), Addr(note.size()), Addr(4);
        } else {
            U32(static_cast<uint32_t>(offNote)), U32(0), U32(0), U32(static_cast<uint32_t>(note.size()));
            U32(static_cast<uint32_t>(note.size())), U32(4), U32(4);
        }
        m_s += note;
        // One section header.
        U32(0), U32(7);  // name, SHT_NOTE
        Addr(2), Addr(0), Addr(offNote), Addr(note.size());
        U32(0), U32(0);
        Addr(4), Addr(0);
        return m_s;
    }

    std::string Note(const char* pszName, uint32_t dwType, const std::vector<uint32_t>& vDesc)
    {
        std::string save;
        save.swap(m_s);
        const size_t cbName = strlen(pszName) + 1;
        U32(static_cast<uint32_t>(cbName));
        U32(static_cast<uint32_t>(vDesc.size() * 4));
        U32(dwType);
        m_s.append(pszName, cbName);
        m_s.append((4 - cbName % 4) % 4, '\0');
        for (uint32_t dw : vDesc)
            U32(dw);
        save.swap(m_s);
        return save;
    }

private:
    void U16(uint16_t w)
    {
        const char b[2] = {static_cast<char>(m_bBig ? w >> 8 : w), static_cast<char>(m_bBig ? w : w >> 8)};
        m_s.append(b, 2);
    }
    void U32(uint32_t dw)
    {
        for (int i = 0; i < 4; ++i)
            m_s += static_cast<char>(dw >> (m_bBig ? 24 - 8 * i : 8 * i));
    }
    void Addr(uint64_t ull)
    {
        if (!m_b64) {
            U32(static_cast<uint32_t>(ull));
        } else if (m_bBig) {
            U32(static_cast<uint32_t>(ull >> 32)), U32(static_cast<uint32_t>(ull));
        } else {
            U32(static_cast<uint32_t>(ull)), U32(static_cast<uint32_t>(ull >> 32));
        }
    }

    bool m_b64, m_bBig;
    std::string m_s;
};

}  // namespace

TEST(FileVersionTest, ReadFromEitherHeaderInEitherByteOrder)
{
    CRegistryTestEnv env;  // only for its temporary folder
    const ULONGLONG kVersion = MakeFileVersion(3, 4, 5, 6);
    for (bool b64 : {false, true}) {
        for (bool bBig : {false, true}) {
            for (bool bProgramHeader : {false, true}) {
                CElfWriter w(b64, bBig);
                // Another owner's note first, then ours.
                const std::string note = w.Note("GNU", 3, {1, 2, 3}) +
                                         w.Note("KVFV", 1, {static_cast<uint32_t>(kVersion >> 32),
                                                            static_cast<uint32_t>(kVersion)});
                const std::string path = env.Folder() + "/made.so";
                WriteTestFile(path, w.Build(note, bProgramHeader));
                ULONGLONG ull = 0;
                EXPECT_EQ(VersionOf(path, &ull), S_OK) << b64 << bBig << bProgramHeader;
                EXPECT_EQ(ull, kVersion);
                // Without our note.
                WriteTestFile(path, w.Build(w.Note("GNU", 3, {1}), bProgramHeader));
                EXPECT_EQ(VersionOf(path, &ull), HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
                // Our owner with a description of the wrong size.
                WriteTestFile(path, w.Build(w.Note("KVFV", 1, {1}), bProgramHeader));
                EXPECT_EQ(VersionOf(path, &ull), HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT));
            }
        }
    }
}

TEST(FileVersionTest, DamagedAndForeignFilesGiveStatusNeverAWrongVersion)
{
    CRegistryTestEnv env;
    const std::string lib = ReadTestFile(KV_TESTCOMP2);
    ASSERT_GT(lib.size(), 1000u);
    const std::string path = env.Folder() + "/lib.so";
    ULONGLONG ull = 0;

    // A stripped copy keeps the version.
    WriteTestFile(path, lib);
    if (std::system(("strip --strip-all '" + path + "' 2>/dev/null").c_str()) == 0) {
        ASSERT_EQ(VersionOf(path, &ull), S_OK);
        EXPECT_EQ(ull, MakeFileVersion(2, 0, 0, 0));
    }

    // Cut short anywhere, or with a damaged header byte: either the right
    // version or a failure.
    std::vector<size_t> vCuts;
    for (size_t cb = 0; cb < 2048 && cb < lib.size(); cb += 7)
        vCuts.push_back(cb);
    for (size_t cb = 2048; cb < lib.size(); cb += lib.size() / 50)
        vCuts.push_back(cb);
    for (size_t cb : vCuts) {
        WriteTestFile(path, lib.substr(0, cb));
        ull = 0;
        const HRESULT hr = VersionOf(path, &ull);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(ull, MakeFileVersion(2, 0, 0, 0)) << cb;
        }
    }
    for (size_t pos = 4; pos < 64; ++pos) {
        for (char c : {'\x00', '\xFF', '\x7F'}) {
            std::string damaged = lib;
            damaged[pos] = c;
            WriteTestFile(path, damaged);
            ull = 0;
            const HRESULT hr = VersionOf(path, &ull);
            if (SUCCEEDED(hr)) {
                EXPECT_EQ(ull, MakeFileVersion(2, 0, 0, 0)) << pos;
            }
        }
    }

    WriteTestFile(path, "#!/bin/sh\necho not a library\n");
    EXPECT_EQ(VersionOf(path, &ull), HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT));
    WriteTestFile(path, "");
    EXPECT_EQ(VersionOf(path, &ull), HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(VersionOf(env.Folder(), &ull), HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(VersionOf(env.Folder() + "/missing.so", &ull), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(VersionOf(KV_PLATFORM_SHARED, &ull), HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
}
