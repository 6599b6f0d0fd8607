// Calls through the public interface only, run by both builds over the same
// files: the Linux build records the expected lines, the Windows test compares.
#pragma once

#include <string>
#include <vector>

namespace probes {

// Slide files in the data directory, by name, in probe order.
const std::vector<std::string> &slideNames();
// Stand-alone BMP files in the data directory.
const std::vector<std::string> &bmpNames();

// One line per call: what was called, with which arguments, and what came back
// (status, sizes, texts, a hash of every returned buffer).
std::vector<std::string> run(const std::string &dir);

}  // namespace probes
