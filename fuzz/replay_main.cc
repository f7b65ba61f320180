// Runs a fuzz target over the files named on the command line, and over
// every file in the folders named there, for builds without libFuzzer (and
// to replay a corpus under the sanitizers). Arguments that start with "-"
// are libFuzzer's and are skipped, so that one command line serves both
// builds.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::string& strPath)
{
    FILE* f = fopen(strPath.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "cannot open %s\n", strPath.c_str());
        return false;
    }
    std::vector<uint8_t> data;
    uint8_t ab[65536];
    size_t n;
    while ((n = fread(ab, 1, sizeof(ab), f)) > 0)
        data.insert(data.end(), ab, ab + n);
    fclose(f);
    // An exact-size heap copy, so that a read past the end is a finding
    // under the sanitizers as it is under libFuzzer.
    std::vector<uint8_t> exact(data);
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    size_t nRun = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-')
            continue;
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<std::string> aFiles;
        if (S_ISDIR(st.st_mode)) {
            DIR* pDir = opendir(argv[i]);
            if (!pDir) {
                fprintf(stderr, "cannot read folder %s\n", argv[i]);
                return 1;
            }
            while (dirent* pEnt = readdir(pDir)) {
                const std::string strName = pEnt->d_name;
                if (strName != "." && strName != "..")
                    aFiles.push_back(std::string(argv[i]) + "/" + strName);
            }
            closedir(pDir);
            std::sort(aFiles.begin(), aFiles.end());
        } else {
            aFiles.push_back(argv[i]);
        }
        for (const std::string& strFile : aFiles) {
            if (!RunFile(strFile))
                return 1;
            ++nRun;
        }
    }
    printf("replayed %zu inputs\n", nRun);
    return 0;
}
