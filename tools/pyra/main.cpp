// pyra: look into slide files, pull out their pictures, tiles and regions, and
// make slides from ordinary images.
#include "pyra.h"

int main(int argc, char **argv)
{
    CLI::App app{"", "pyra"};
    pyra::configure(app);
    pyra::addInfoCommand(app);
    pyra::addAssocCommand(app);
    pyra::addTileCommand(app);
    pyra::addRegionCommand(app);
    pyra::addExportCommand(app);
    pyra::addHashCommand(app);
    pyra::addMakeCommand(app);
    pyra::addServeCommand(app);
    return pyra::run(app, argc, argv);
}
