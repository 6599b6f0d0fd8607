// libFuzzer harness for the open sequence alone: the input is a slide file, opened
// under the memory guard (OpenGuard.h), described and closed. No tile is read, so
// an input takes microseconds and inputs may be as large as 1 MB; the read paths
// have their own harness (fuzz_slide).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "OpenGuard.h"
#include "ReadBack.h"

namespace {

std::string g_path;
ColorCorrectTable *g_table = nullptr;  // the one table of the fixed parameters, kept

void touchText(char *text)
{
    if (text)
        fuzzing::touch(reinterpret_cast<const unsigned char *>(text), int64_t(std::strlen(text)) + 1);
    Dispose(text);
}

void cleanUp()
{
    pyradec::releaseColorTable(g_table);
    unlink(g_path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // /dev/shm when there is one: every input is written once.
    const char *tmp = std::getenv("TMPDIR");
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
    g_path = base + "/pyradec-fuzz-open-" + std::to_string(getpid()) + ".pyra";
    std::atexit(cleanUp);
    av_log_set_level(AV_LOG_QUIET);
    fuzzing::installAllocationCounter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> input(data, data + size);
    fuzzing::fixColourParameters(input);
    FILE *f = std::fopen(g_path.c_str(), "wb");
    if (!f)
        return 0;
    const bool written = input.empty() || std::fwrite(input.data(), 1, input.size(), f) == input.size();
    if (std::fclose(f) != 0 || !written)
        return 0;
    VtPyraInfo *pyra = fuzzing::guardedOpen(g_path.c_str(), input);
    if (!pyra)
        return 0;
    if (!g_table && pyra->colorTable) {
        g_table = pyra->colorTable;
        pyradec::retainColorTable(g_table);
    }
    touchText(GetDescription(pyra));
    const uint32_t layers = pyra->picHead->layerCount;
    for (uint32_t layer = 0; layer < layers && layer < 64; ++layer) {
        touchText(GetLayerInfo(pyra, static_cast<int>(layer)));
        // Every entry of the tile index the open built.
        const VtPicInfo &info = *pyra->picInfos[layer];
        const VtSliceInfo &slice = *pyra->sliceInfos[layer];
        const uint32_t count = info.tileCount;
        if (count > 0) {
            fuzzing::touch(reinterpret_cast<const unsigned char *>(slice.tileOffsets), int64_t{count} * 8);
            fuzzing::touch(reinterpret_cast<const unsigned char *>(slice.tileSizes), int64_t{count} * 4);
        }
    }
    VtClosePyra(pyra);
    return 0;
}
