// The served slides: name checks, the folder scan and the open-slide set.
#include "serve_catalog.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <cjson/cJSON.h>
#include <sys/stat.h>

#include "Properties.h"
#include "pyra.h"

namespace pyra::serve {

namespace fs = std::filesystem;

namespace {

// Names longer than this are refused before touching the file system.
constexpr size_t kMaxNameLength = 1024;
// A folder scan stops after this many slides, so one listing stays bounded.
constexpr size_t kMaxListed = 100000;

bool endsWithSlideExtension(const std::string &name)
{
    static const std::string ext = ".pyra";
    if (name.size() <= ext.size())
        return false;
    for (size_t i = 0; i < ext.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[name.size() - ext.size() + i])) != ext[i])
            return false;
    return true;
}

std::optional<std::string> realPath(const std::string &path)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer))
        return std::nullopt;
    return std::string(buffer);
}

std::optional<FileIdentity> identityOf(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    FileIdentity id;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
    id.size = static_cast<int64_t>(st.st_size);
    id.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    id.ctimeNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

// FNV-1a, 64 bits: the validator needs to be stable across restarts, not secret.
uint64_t fnv1a(const std::string &text)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string identityText(const std::string &path, const FileIdentity &id)
{
    return path + "|" + std::to_string(id.device) + "|" + std::to_string(id.inode) + "|" +
           std::to_string(id.size) + "|" + std::to_string(id.mtimeNs) + "|" + std::to_string(id.ctimeNs);
}

Summary summarize(const std::string &name, const FileIdentity &id, const pyradec::Slide &slide)
{
    Summary s;
    s.name = name;
    s.fileSize = id.size;
    if (slide.levelCount() > 0) {
        s.width = slide.levels()[0].width;
        s.height = slide.levels()[0].height;
    }
    s.levels = slide.levelCount();
    s.mpp = slide.description().mpp;
    for (pyradec::Associated a : slide.associatedNames())
        s.associated.push_back(pyradec::nameOf(a));
    return s;
}

}  // namespace

bool wellFormedName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '/')
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || c == '\\')
            return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos)
            slash = name.size();
        const std::string segment = name.substr(start, slash - start);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        start = slash + 1;
    }
    return true;
}

std::string urlPath(const std::string &name)
{
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string htmlEscape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string OpenSlide::propertiesJson() const
{
    std::lock_guard lock(mutex_);
    if (propertiesJson_.empty()) {
        std::unique_ptr<cJSON, void (*)(cJSON *)> object(cJSON_CreateObject(), cJSON_Delete);
        for (const auto &[key, value] : pyradec::properties(*slide))
            cJSON_AddItemToObject(object.get(), key.c_str(), cJSON_CreateString(value.c_str()));
        std::unique_ptr<char, void (*)(void *)> text(cJSON_PrintUnformatted(object.get()), cJSON_free);
        if (!text)
            throw std::bad_alloc();
        propertiesJson_ = text.get();
    }
    return propertiesJson_;
}

Catalog::Catalog(const std::string &root, pyradec::DeepZoomOptions options, std::string validator,
                 size_t maxOpen)
    : options_(options), validator_(std::move(validator)), maxOpen_(std::max<size_t>(maxOpen, 1))
{
    const auto real = realPath(root);
    if (!real)
        throw Failure(root + ": no such file or folder");
    std::error_code ec;
    if (fs::is_directory(*real, ec)) {
        rootReal_ = *real;
        if (rootReal_.size() > 1 && rootReal_.back() == '/')
            rootReal_.pop_back();
    } else if (fs::is_regular_file(*real, ec)) {
        singleFile_ = true;
        rootReal_ = *real;
        singleName_ = fs::path(root).filename().string();
        if (!wellFormedName(singleName_))
            singleName_ = fs::path(*real).filename().string();
    } else {
        throw Failure(root + ": neither a slide file nor a folder");
    }
}

size_t Catalog::openCount() const
{
    std::lock_guard lock(mutex_);
    return open_.size();
}

std::optional<Catalog::Resolved> Catalog::resolve(const std::string &name, Lookup &out) const
{
    if (!wellFormedName(name)) {
        out.status = 400;
        out.reason = "malformed slide name";
        return std::nullopt;
    }
    out.status = 404;
    out.reason = "no such slide";
    std::string real;
    if (singleFile_) {
        if (name != singleName_)
            return std::nullopt;
        const auto r = realPath(rootReal_);
        if (!r)
            return std::nullopt;
        real = *r;
    } else {
        if (!endsWithSlideExtension(name))
            return std::nullopt;
        const auto r = realPath(rootReal_ + "/" + name);
        // Symlinks may point anywhere inside the root, never out of it.
        if (!r || r->size() <= rootReal_.size() + 1 || r->compare(0, rootReal_.size(), rootReal_) != 0 ||
            ((*r)[rootReal_.size()] != '/' && rootReal_ != "/"))
            return std::nullopt;
        real = *r;
    }
    const auto id = identityOf(real);
    if (!id)
        return std::nullopt;
    out.status = 200;
    out.reason.clear();
    return Resolved{real, *id};
}

uint64_t Catalog::keyOf(const std::string &path, const FileIdentity &identity)
{
    const std::string text = identityText(path, identity);
    auto [it, inserted] = keys_.try_emplace(text, nextKey_);
    if (inserted)
        ++nextKey_;
    return it->second;
}

std::shared_ptr<OpenSlide> Catalog::openVersion(const std::string &name, const Resolved &r,
                                                std::string &error)
{
    try {
        auto open = std::make_shared<OpenSlide>();
        open->name = name;
        open->path = r.path;
        open->identity = r.identity;
        open->slide = pyradec::Slide::open(r.path);
        open->deepZoom = std::make_shared<pyradec::DeepZoom>(open->slide, options_);
        char hex[17];
        std::snprintf(
            hex, sizeof hex, "%016llx",
            static_cast<unsigned long long>(fnv1a(validator_ + "|" + identityText(r.path, r.identity))));
        open->etag = hex;
        return open;
    } catch (const pyradec::SlideError &e) {
        error = e.what();
    } catch (const pyradec::InvalidArgument &e) {
        error = e.what();
    }
    // The message starts with the real path; the client knows the slide by its name.
    if (error.compare(0, r.path.size(), r.path) == 0)
        error = name + error.substr(r.path.size());
    return nullptr;
}

Lookup Catalog::find(const std::string &name)
{
    Lookup out;
    const auto resolved = resolve(name, out);
    if (!resolved)
        return out;
    std::vector<std::shared_ptr<OpenSlide>> dropped;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if ((*it)->name != name)
                continue;
            if ((*it)->identity == resolved->identity && (*it)->path == resolved->path) {
                open_.splice(open_.begin(), open_, it);
                out.slide = open_.front();
                return out;
            }
            // Replaced or rewritten: this version is gone for good.
            dropped.push_back(*it);
            open_.erase(it);
            break;
        }
        if (auto f = failed_.find(name); f != failed_.end() && f->second.first == resolved->identity) {
            out.status = 404;
            out.reason = f->second.second;
            return out;
        }
    }
    for (const auto &d : dropped)
        if (onClose_)
            onClose_(d->slide->id());
    dropped.clear();

    std::string error;
    auto opened = openVersion(name, *resolved, error);
    std::lock_guard lock(mutex_);
    if (!opened) {
        failed_[name] = {resolved->identity, error};
        out.status = 404;
        out.reason = error;
        return out;
    }
    failed_.erase(name);
    // Another request may have opened the same version meanwhile: keep one.
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if ((*it)->name == name && (*it)->identity == resolved->identity && (*it)->path == resolved->path) {
            open_.splice(open_.begin(), open_, it);
            out.slide = open_.front();
            return out;
        }
    }
    opened->key = keyOf(resolved->path, resolved->identity);
    open_.push_front(opened);
    while (open_.size() > maxOpen_) {
        // Requests still holding the slide keep reading it; it closes when they end.
        if (onClose_)
            onClose_(open_.back()->slide->id());
        open_.pop_back();
    }
    out.slide = opened;
    return out;
}

std::vector<Summary> Catalog::list()
{
    std::vector<std::string> names;
    if (singleFile_) {
        names.push_back(singleName_);
    } else {
        std::error_code ec;
        fs::recursive_directory_iterator it(rootReal_, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator() && names.size() < kMaxListed;
             it.increment(ec)) {
            std::error_code typeError;
            const fs::path &p = it->path();
            if (!endsWithSlideExtension(p.filename().string()) || !it->is_regular_file(typeError))
                continue;
            names.push_back(p.lexically_relative(rootReal_).generic_string());
        }
        std::sort(names.begin(), names.end());
    }

    std::vector<Summary> out;
    std::map<std::string, std::pair<FileIdentity, Summary>> seen;
    // The slide opened last stays open until the next one is: slides with the
    // same colour parameters then share one colour table instead of each
    // building its own.
    std::shared_ptr<pyradec::Slide> previous;
    for (const std::string &name : names) {
        Lookup lookup;
        const auto resolved = resolve(name, lookup);
        if (!resolved)
            continue;  // gone, or a link out of the root
        std::shared_ptr<OpenSlide> open;
        {
            std::lock_guard lock(mutex_);
            if (auto s = summaries_.find(name);
                s != summaries_.end() && s->second.first == resolved->identity) {
                out.push_back(s->second.second);
                seen.insert(*s);
                continue;
            }
            for (const auto &o : open_)
                if (o->name == name && o->identity == resolved->identity)
                    open = o;
        }
        Summary summary;
        try {
            if (open) {
                summary = summarize(name, resolved->identity, *open->slide);
            } else {
                auto slide = pyradec::Slide::open(resolved->path);
                summary = summarize(name, resolved->identity, *slide);
                previous = std::move(slide);
            }
        } catch (const std::exception &e) {
            summary = Summary{};
            summary.name = name;
            summary.fileSize = resolved->identity.size;
            summary.error = e.what();
            if (summary.error.compare(0, resolved->path.size(), resolved->path) == 0)
                summary.error = name + summary.error.substr(resolved->path.size());
        }
        out.push_back(summary);
        seen[name] = {resolved->identity, summary};
    }
    std::lock_guard lock(mutex_);
    summaries_ = std::move(seen);
    return out;
}

}  // namespace pyra::serve
