// The one-line texts of the reasons a slide did not open.
#include "OpenReason.h"

#include <cstring>

namespace pyradec {

namespace {

std::string recordName(OpenRecord record, int layer)
{
    switch (record) {
    case OpenRecord::Header: return "file header";
    case OpenRecord::PersonInfo: return "person information";
    case OpenRecord::AssociatedImage: return "associated image (label or macrograph)";
    case OpenRecord::ExtraInfo: return "extra information";
    case OpenRecord::Thumbnail: return "thumbnail";
    case OpenRecord::LayerRecord: return "layer " + std::to_string(layer) + " record";
    case OpenRecord::LayerTileTable: return "layer " + std::to_string(layer) + " tile table";
    case OpenRecord::None: break;
    }
    return "records";
}

}  // namespace

std::string OpenReason::describe() const
{
    switch (problem) {
    case OpenProblem::None: return "opened";
    case OpenProblem::Missing: return "no such file";
    case OpenProblem::Directory: return "is a directory, not a slide file";
    case OpenProblem::Unreadable:
        return std::string("cannot be read") +
               (systemError ? std::string(": ") + std::strerror(systemError) : "");
    case OpenProblem::Empty: return "empty file, not a slide";
    case OpenProblem::NotASlide: return "not a slide file (it does not start with \"VT\")";
    case OpenProblem::OutOfMemory: return "out of memory while opening";
    case OpenProblem::Damaged: break;
    }
    std::string text = "damaged slide: " + recordName(record, layer);
    if (offset >= 0)
        text += " at offset " + std::to_string(offset);
    if (status != 0)
        text += " (status " + std::to_string(status) + ")";
    return text;
}

}  // namespace pyradec
