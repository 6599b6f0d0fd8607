// pyra: look into slide files, pull out their pictures, tiles and regions, and
// make slides from ordinary images.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "pyra.h"

namespace {

const char *const kUsage =
    "usage: pyra COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  info SLIDE [--json]                       description and layer geometry\n"
    "  assoc SLIDE thumbnail|label|macro -o FILE associated picture (.jpg or .png)\n"
    "  tile SLIDE LAYER COL ROW -o FILE [--raw]  one tile (.jpg, .png, or stored bytes)\n"
    "  region SLIDE LAYER X Y W H -o FILE [--quality Q]\n"
    "                                            a rectangle of a layer (.png or .jpg)\n"
    "  export SLIDE DIR [--size W H]             layer 0 as a grid of JPEG files\n"
    "  hash SLIDE                                content hash for checking copies\n"
    "  make IMAGE OUT.pyra [--tile N] [--quality Q] [--hevc] [--colour PARAMS]\n"
    "                                            build a slide from a PNG or JPEG image\n"
    "  serve PATH [--port 8080] [...]            Deep Zoom server and viewer for browsers\n"
    "\n"
    "Options: --help (also after a command), --version.\n"
    "Exit status 0 on success, 1 on failure with one line on standard error.\n";

struct Command {
    const char *name;
    int (*run)(int, char **);
};

const Command kCommands[] = {
    {"info", pyra::cmdInfo},     {"assoc", pyra::cmdAssoc}, {"tile", pyra::cmdTile},
    {"region", pyra::cmdRegion}, {"export", pyra::cmdExport}, {"hash", pyra::cmdHash},
    {"make", pyra::cmdMake},
    {"serve", pyra::cmdServe},
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (first == "--version" || first == "-V") {
        std::printf("pyra %s\n", PYRA_VERSION);
        return 0;
    }
    for (const Command &c : kCommands) {
        if (first != c.name)
            continue;
        try {
            return c.run(argc - 2, argv + 2);
        } catch (const pyra::Failure &e) {
            std::fprintf(stderr, "pyra %s: %s\n", c.name, e.what());
        } catch (const std::bad_alloc &) {
            std::fprintf(stderr, "pyra %s: out of memory\n", c.name);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "pyra %s: %s\n", c.name, e.what());
        }
        return 1;
    }
    std::fprintf(stderr, "pyra: unknown command '%s' (see pyra --help)\n", argv[1]);
    return 1;
}
