// Shared pieces of the pyra tool: failures, the command line, the slide handle,
// and writing results to files.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Slide.h"
#include "pyradec/pyradec.h"

namespace pyra {

// One line for standard error; main prints it after "pyra: " and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A decimal number (for values inside composite options); `what` names it in the message.
double parseDouble(const std::string &text, const std::string &what);

using pyradec::Owned;

// The slide at path through the internal C++ layer; a file that is not a usable
// slide fails with the reason the library's open sequence found.
std::shared_ptr<pyradec::Slide> openSlide(const std::string &path);
// The level, or a failure naming the layers the slide has.
const pyradec::Level &checkLayer(const pyradec::Slide &slide, long layer);

// Lower-case extension of a path ("png", "jpg", ...), empty when none.
std::string extension(const std::string &path);
enum class ImageKind { Jpeg, Png };
// The output kind by extension; fails on anything else.
ImageKind imageKindOf(const std::string &path);

// Writes the bytes to path (replacing it); on failure removes what was written.
void writeBytes(const std::string &path, const uint8_t *data, size_t size);
// Blue-green-red pixels to a PNG file.
void writePng(const std::string &path, const uint8_t *bgr, int width, int height);
// Pixels of the C++ layer (3 channels, in `format`'s order) to a PNG file.
void writePng(const std::string &path, const pyradec::Pixels &pixels, pyradec::PixelFormat format);
// Blue-green-red pixels to a JPEG file through the library's encoder.
void writeJpeg(const std::string &path, const uint8_t *bgr, int width, int height, int quality);

// The tool's help layout, --help and --version, and one command required.
void configure(CLI::App &app);
// A command with a one-line summary (the list of commands) and details (its help).
CLI::App *addCommand(CLI::App &app, const std::string &name, const std::string &summary,
                     const std::string &details);
// Parses and runs the chosen command: exit status 0, or 1 after one line on
// standard error ("pyra COMMAND: ..."); --help and --version go to standard output.
int run(CLI::App &app, int argc, char **argv);

// The commands: each adds itself to the tool, with a callback that runs it.
void addInfoCommand(CLI::App &app);
void addAssocCommand(CLI::App &app);
void addTileCommand(CLI::App &app);
void addRegionCommand(CLI::App &app);
void addExportCommand(CLI::App &app);
void addHashCommand(CLI::App &app);
void addMakeCommand(CLI::App &app);
// The tile server, in tools/pyra/serve.cpp: added in main.cpp with one line.
void addServeCommand(CLI::App &app);

}  // namespace pyra
