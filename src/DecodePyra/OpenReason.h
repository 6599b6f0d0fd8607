// Why a slide did not open. VtOpenPyra reports only "no handle"; the library's
// own hosts open through openPyra, which keeps the reason its open sequence
// found, so that a message never has to guess it from outside.
#pragma once

#include <cstdint>
#include <string>

#include "pyradec/pyradec.h"

namespace pyradec {

enum class OpenProblem : uint8_t {
    None,
    Missing,     // no such file
    Directory,   // the path names a directory
    Unreadable,  // exists but cannot be opened for reading
    Empty,       // zero bytes
    NotASlide,   // does not start with the slide magic
    Damaged,     // a slide whose records are damaged or inconsistent (see `record`)
    OutOfMemory,
};

// The record the open sequence was reading when it failed.
enum class OpenRecord : uint8_t {
    None,
    Header,
    PersonInfo,
    AssociatedImage,
    ExtraInfo,
    Thumbnail,
    LayerRecord,     // `layer` names which
    LayerTileTable,  // `layer` names which
};

struct OpenReason {
    OpenProblem problem = OpenProblem::None;
    OpenRecord record = OpenRecord::None;
    int status = VT_OK;   // the status code the failing step returned, when it had one
    int layer = -1;       // for the layer records
    int64_t offset = -1;  // where the record lies in the file, when known
    int systemError = 0;  // errno of a failed open, for Unreadable

    // One line without the path, e.g. "damaged: layer 2 tile table at offset 81234 (status -3)".
    std::string describe() const;
};

// The open sequence of VtOpenPyra; on failure returns null and fills `reason`
// (which may be null).
VtPyraInfo *openPyra(const char *path, OpenReason *reason);

}  // namespace pyradec
