// The slides `pyra serve` may serve: names relative to one root folder (or one
// slide file), checked so that no request reaches a file outside the root, and
// a bounded set of open slides (least recently used dropped) that notices when
// a file is deleted or replaced under it.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "DeepZoom.h"
#include "Slide.h"
#include "TileCache.h"

namespace pyra::serve {

// What makes one version of a file: a replaced or rewritten file differs.
struct FileIdentity {
    uint64_t device = 0, inode = 0;
    int64_t size = 0, mtimeNs = 0, ctimeNs = 0;
    bool operator==(const FileIdentity &) const = default;
};

// One open slide with its Deep Zoom view. `key` numbers this version of the
// file for the tile caches; `etag` is the validator of everything served from it.
struct OpenSlide {
    std::string name;
    std::string path;  // the real path that was opened
    FileIdentity identity;
    uint64_t key = 0;
    std::string etag;  // hex, no quotes
    std::shared_ptr<pyradec::Slide> slide;
    std::shared_ptr<pyradec::DeepZoom> deepZoom;

    // The properties as JSON, made once.
    std::string propertiesJson() const;

private:
    mutable std::mutex mutex_;
    mutable std::string propertiesJson_;
};

// What the slide list shows of one slide.
struct Summary {
    std::string name;
    int64_t fileSize = 0;
    int64_t width = 0, height = 0;
    int levels = 0;
    double mpp = 0;
    std::vector<std::string> associated;
    std::string error;  // non-empty when the file is not a readable slide
};

// The outcome of looking a name up: the slide, or an HTTP status and a reason.
struct Lookup {
    std::shared_ptr<const OpenSlide> slide;
    int status = 200;  // 400 malformed name, 404 no such slide / unreadable
    std::string reason;
};

class Catalog {
public:
    // `root` is a folder (slides found recursively) or one slide file. Throws
    // pyra::Failure when it is neither. `validator` is mixed into every ETag
    // (the Deep Zoom and JPEG settings).
    Catalog(const std::string &root, pyradec::DeepZoomOptions options, std::string validator, size_t maxOpen);

    // The slide of a request path's name, opened (or reopened after a change).
    Lookup find(const std::string &name);
    // Every slide under the root, sorted by name (opened once per file version
    // to read its size; the summaries are kept).
    std::vector<Summary> list();

    const std::string &root() const { return rootReal_; }
    bool singleFile() const { return singleFile_; }
    size_t openCount() const;
    // Called with a slide's id when it leaves the set of open slides.
    void onClose(std::function<void(uint64_t)> callback) { onClose_ = std::move(callback); }

private:
    struct Resolved {
        std::string path;
        FileIdentity identity;
    };
    // Checks the name's form (400) and that it names a regular slide file
    // under the root, following no symlink out of it (404).
    std::optional<Resolved> resolve(const std::string &name, Lookup &out) const;
    std::shared_ptr<OpenSlide> openVersion(const std::string &name, const Resolved &r, std::string &error);
    uint64_t keyOf(const std::string &path, const FileIdentity &identity);

    std::string rootReal_;
    bool singleFile_ = false;
    std::string singleName_;
    pyradec::DeepZoomOptions options_;
    std::string validator_;
    size_t maxOpen_;
    std::function<void(uint64_t)> onClose_;

    mutable std::mutex mutex_;
    std::list<std::shared_ptr<OpenSlide>> open_;  // most recent first
    // Files that did not open, by name, with the version that failed.
    std::map<std::string, std::pair<FileIdentity, std::string>> failed_;
    std::map<std::string, std::pair<FileIdentity, Summary>> summaries_;
    std::map<std::string, uint64_t> keys_;  // "path|identity" -> key
    uint64_t nextKey_ = 1;
};

// Whether a name is a well-formed relative slide path: no empty, "." or ".."
// segment, no leading '/', no backslash or control character, not too long.
bool wellFormedName(const std::string &name);

// Percent-encodes a slide name for a URL path (keeps '/' and unreserved characters).
std::string urlPath(const std::string &name);
// Escapes text for HTML element content and attribute values.
std::string htmlEscape(const std::string &text);

}  // namespace pyra::serve
