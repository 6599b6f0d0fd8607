// pyra hash: SHA-256 of what identifies a slide's content, for checking copies
// without reading every tile.
#include <cstdio>
#include <string>

#include "Properties.h"
#include "pyra.h"

namespace pyra {

namespace {

const char *const kDetails = "Prints a SHA-256 over the slide's header, its person and extra information,\n"
                             "every layer record and tile-size table, the stored label, macrograph and\n"
                             "thumbnail, and the stored bytes of every tile of the lowest-resolution layer,\n"
                             "followed by two spaces and the path. Copies of a slide hash alike; a change\n"
                             "in any of these parts changes the hash.";

void runHash(const std::string &path)
{
    const auto slide = openSlide(path);
    std::printf("%s  %s\n", pyradec::quickHash(*slide).c_str(), path.c_str());
}

}  // namespace

void addHashCommand(CLI::App &app)
{
    auto path = std::make_shared<std::string>();
    CLI::App *cmd = addCommand(app, "hash", "content hash for checking copies", kDetails);
    cmd->add_option("SLIDE", *path, "the slide file")->required();
    cmd->callback([path] { runHash(*path); });
}

}  // namespace pyra
