// Shared pieces of the pyra tool: failures, argument parsing, the slide handle,
// and writing results to files.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyradec/pyradec.h"
#include "SlideWriter.h"

namespace pyra {

// One line for standard error; main prints it after "pyra: " and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A subcommand's arguments: positionals in order, options by name.
class Args {
public:
    // argv holds the words after the subcommand name. `flags` are options
    // without a value, `valued` maps option names to their number of values.
    Args(const std::string &command, int argc, char **argv, const std::vector<std::string> &flags,
         const std::vector<std::pair<std::string, int>> &valued);
    bool help() const { return help_; }
    bool has(const std::string &name) const;
    // Values of an option (empty when absent).
    std::vector<std::string> values(const std::string &name) const;
    std::string value(const std::string &name, const std::string &fallback) const;
    const std::vector<std::string> &positional() const { return positional_; }
    // Fails unless exactly `n` positionals were given; `usage` names them.
    void expect(size_t n, const std::string &usage) const;
    const std::string &command() const { return command_; }

private:
    std::string command_;
    bool help_ = false;
    std::vector<std::string> positional_;
    std::vector<std::pair<std::string, std::vector<std::string>>> options_;
};

// A whole decimal number within [lo, hi]; `what` names it in the message.
long parseInt(const std::string &text, const std::string &what, long lo, long hi);
double parseDouble(const std::string &text, const std::string &what);

struct HandleCloser {
    void operator()(VtPyraInfo *p) const { VtClosePyra(p); }
};
using Handle = std::unique_ptr<VtPyraInfo, HandleCloser>;

struct Disposer {
    void operator()(void *p) const { Dispose(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Disposer>;

// Checks that the path names a readable file that starts with the slide magic,
// then opens it; every failure says which.
Handle openSlide(const std::string &path);
// The same checks without opening (for the export, whose workers share one handle).
void checkSlideFile(const std::string &path);
void checkLayer(const VtPyraInfo *slide, const std::string &path, long layer);

// Lower-case extension of a path ("png", "jpg", ...), empty when none.
std::string extension(const std::string &path);
enum class ImageKind { Jpeg, Png };
// The output kind by extension; fails on anything else.
ImageKind imageKindOf(const std::string &path);

// Writes the bytes to path (replacing it); on failure removes what was written.
void writeBytes(const std::string &path, const uint8_t *data, size_t size);
// Blue-green-red pixels to a PNG file.
void writePng(const std::string &path, const uint8_t *bgr, int width, int height);
// Blue-green-red pixels to a JPEG file through the library's encoder.
void writeJpeg(const std::string &path, const uint8_t *bgr, int width, int height, int quality);

// Subcommands: each returns the exit status.
int cmdInfo(int argc, char **argv);
int cmdAssoc(int argc, char **argv);
int cmdTile(int argc, char **argv);
int cmdRegion(int argc, char **argv);
int cmdExport(int argc, char **argv);
int cmdHash(int argc, char **argv);
int cmdMake(int argc, char **argv);
// pyra serve: parses its own options (argv holds the words after "serve").
int cmdServe(int argc, char **argv);

}  // namespace pyra
