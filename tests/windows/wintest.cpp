// Runs the probes through pyradec.dll over the data the Linux build wrote and
// compares every line with the Linux build's result.
//   pyradec_wintest <directory>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "probes.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::ifstream in(dir + "/expected.txt", std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "wintest: no %s/expected.txt\n", dir.c_str());
        return 2;
    }
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);)
        expected.push_back(line);

    const std::vector<std::string> actual = probes::run(dir);
    size_t passed = 0, failed = 0;
    for (size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
        const std::string *e = i < expected.size() ? &expected[i] : nullptr;
        const std::string *a = i < actual.size() ? &actual[i] : nullptr;
        if (e && a && *e == *a) {
            ++passed;
            continue;
        }
        ++failed;
        std::printf("MISMATCH %zu\n  linux:   %s\n  windows: %s\n", i + 1, e ? e->c_str() : "(none)",
                    a ? a->c_str() : "(none)");
    }
    std::printf("wintest: %zu passed, %zu failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
