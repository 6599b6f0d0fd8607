// pyra serve: a Deep Zoom tile server and browser viewer for one slide or a
// folder of slides. HTTP comes from cpp-httplib; every request goes through one
// dispatcher so that each path, method and failure gets a deliberate status.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <cjson/cJSON.h>
#include <httplib.h>
#include <jpeglib.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pyra.h"
#include "serve_catalog.h"

namespace pyra {

namespace {

namespace fs = std::filesystem;
using serve::Catalog;
using serve::Lookup;
using serve::OpenSlide;

struct ServeOptions {
    std::string path;
    int port = 8080;
    std::string bind = "127.0.0.1";
    int tileSize = 254;
    int overlap = 1;
    int quality = 75;
    int cacheMb = 256;
    int threads = 0;
    int maxOpen = 10;
    std::string assets;
    bool verbose = false;
};

// Bounds that keep one client from holding a worker or memory for long.
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 10;
constexpr size_t kKeepAliveRequests = 100;
constexpr size_t kMaxPayloadBytes = 4096;  // no route takes a body
constexpr size_t kMaxAssetBytes = size_t{64} << 20;
constexpr int kMaxLevels = 64;

// One file of the viewer, held in memory from the start.
struct Asset {
    std::string body;
    std::string type;
    std::string etag;
};

std::string contentTypeOf(const std::string &name)
{
    const std::string ext = extension(name);
    if (ext == "html")
        return "text/html; charset=utf-8";
    if (ext == "js")
        return "text/javascript; charset=utf-8";
    if (ext == "css")
        return "text/css; charset=utf-8";
    if (ext == "png")
        return "image/png";
    if (ext == "svg")
        return "image/svg+xml";
    if (ext == "json" || ext == "map")
        return "application/json";
    if (ext == "jpg" || ext == "jpeg")
        return "image/jpeg";
    return "text/plain; charset=utf-8";
}

// The viewer's folder: --assets, else beside the executable in the build tree
// (viewer/) or in the install tree (../share/pyradec/viewer/).
std::string findAssets(const std::string &given)
{
    if (!given.empty()) {
        if (!fs::is_regular_file(fs::path(given) / "view.html"))
            throw Failure(given + ": not a viewer folder (no view.html)");
        return given;
    }
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const fs::path &dir :
             {exe.parent_path() / "viewer", exe.parent_path() / ".." / "share" / "pyradec" / "viewer"})
            if (fs::is_regular_file(dir / "view.html", ec))
                return fs::weakly_canonical(dir, ec).string();
    }
    throw Failure("the viewer's files are not installed beside pyra (give --assets DIR)");
}

std::map<std::string, Asset> loadAssets(const std::string &dir)
{
    std::map<std::string, Asset> assets;
    size_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_symlink(typeError) || !it->is_regular_file(typeError) ||
            it->path().filename().string().front() == '.')
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        total += body.size();
        if (total > kMaxAssetBytes)
            throw Failure(dir + ": the viewer's files are larger than expected");
        const std::string name = it->path().lexically_relative(dir).generic_string();
        char etag[24];
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : body)
            h = (h ^ c) * 1099511628211ull;
        std::snprintf(etag, sizeof etag, "\"%016llx\"", static_cast<unsigned long long>(h));
        assets[name] = Asset{std::move(body), contentTypeOf(name), etag};
    }
    return assets;
}

const char *statusText(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

void sendError(httplib::Response &res, int status, const std::string &reason)
{
    res.status = status;
    res.headers.erase("ETag");
    res.headers.erase("Cache-Control");
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::to_string(status) + " " + statusText(status) +
                        (reason.empty() ? "" : ": " + reason) + "\n",
                    "text/plain; charset=utf-8");
}

// Whether If-None-Match names `etag` (quoted), weak or strong, or is "*".
bool matchesEtag(const httplib::Request &req, const std::string &etag)
{
    if (!req.has_header("If-None-Match"))
        return false;
    const std::string header = req.get_header_value("If-None-Match");
    size_t start = 0;
    while (start < header.size()) {
        size_t comma = header.find(',', start);
        if (comma == std::string::npos)
            comma = header.size();
        std::string item = header.substr(start, comma - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (item.rfind("W/", 0) == 0)
            item.erase(0, 2);
        if (item == "*" || item == etag)
            return true;
        start = comma + 1;
    }
    return false;
}

// Answers 304 when the client holds this version; else sets the validators.
bool notModified(const httplib::Request &req, httplib::Response &res, const std::string &etag,
                 const char *cacheControl)
{
    res.headers.erase("ETag");
    res.headers.erase("Cache-Control");
    res.set_header("ETag", etag);
    res.set_header("Cache-Control", cacheControl);
    if (!matchesEtag(req, etag))
        return false;
    res.status = 304;
    return true;
}

// A decimal number of a tile address: 400 when not digits, 404 when too large to exist.
int parseAddress(const std::string &text, int64_t &value)
{
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                     [](unsigned char c) { return c >= '0' && c <= '9'; });
    if (!digits)
        return 400;
    if (text.size() > 12)
        return 404;
    value = std::stoll(text);
    return 200;
}

std::string printableForLog(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

using JsonPtr = std::unique_ptr<cJSON, void (*)(cJSON *)>;

std::string printJson(cJSON *json)
{
    std::unique_ptr<char, void (*)(void *)> text(cJSON_PrintUnformatted(json), cJSON_free);
    if (!text)
        throw std::bad_alloc();
    return text.get();
}

class Server {
public:
    explicit Server(const ServeOptions &o)
        : options_(o), catalog_(o.path, pyradec::DeepZoomOptions{o.tileSize, o.overlap, false},
                                "t" + std::to_string(o.tileSize) + "o" + std::to_string(o.overlap) + "q" +
                                    std::to_string(o.quality),
                                static_cast<size_t>(o.maxOpen)),
          encoded_(static_cast<size_t>(o.cacheMb) * (size_t{1} << 20) / 4 * 3),
          decoded_(static_cast<size_t>(o.cacheMb) * (size_t{1} << 20) / 4)
    {
        assetsDir_ = findAssets(o.assets);
        assets_ = loadAssets(assetsDir_);
        catalog_.onClose([this](uint64_t id) { decoded_.forgetSlide(id); });
        for (auto &c : tilesByLevel_)
            c = 0;
    }

    const std::string &assetsDir() const { return assetsDir_; }
    bool hasViewer() const { return assets_.count("openseadragon/openseadragon.min.js") > 0; }
    Catalog &catalog() { return catalog_; }

    // Every request comes here (through the pre-routing hook).
    void handle(const httplib::Request &req, httplib::Response &res)
    {
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            sendError(res, 405, req.method + " is not served");
            return;
        }
        try {
            route(req, res);
        } catch (const pyradec::InvalidArgument &e) {
            sendError(res, 404, e.what());
        } catch (const pyradec::SlideError &e) {
            sendError(res, 500, e.what());
        } catch (const std::bad_alloc &) {
            sendError(res, 503, "out of memory");
        } catch (const std::exception &e) {
            sendError(res, 500, e.what());
        }
    }

private:
    static bool startsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }
    static bool endsWith(const std::string &s, const std::string &suffix)
    {
        return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
    }

    void route(const httplib::Request &req, httplib::Response &res)
    {
        const std::string &path = req.path;
        if (path.empty() || path[0] != '/' ||
            std::any_of(path.begin(), path.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
            return sendError(res, 400, "malformed path");
        if (path.find("/../") != std::string::npos || path.find("/./") != std::string::npos ||
            endsWith(path, "/..") || endsWith(path, "/."))
            return sendError(res, 400, "malformed path");
        if (path == "/" || path == "/index.html")
            return listPage(res);
        if (path == "/slides.json")
            return listJson(res);
        if (path == "/stats.json")
            return stats(res);
        if (startsWith(path, "/static/"))
            return staticFile(req, res, path.substr(8));
        if (startsWith(path, "/view/"))
            return viewPage(req, res, path.substr(6));
        if (startsWith(path, "/info/") && endsWith(path, ".json"))
            return info(req, res, path.substr(6, path.size() - 6 - 5));
        if (startsWith(path, "/associated/"))
            return associated(req, res, path.substr(12));
        if (startsWith(path, "/dzi/")) {
            const std::string rest = path.substr(5);
            if (endsWith(rest, ".dzi"))
                return descriptor(req, res, rest.substr(0, rest.size() - 4));
            return tile(req, res, rest);
        }
        sendError(res, 404, "no such page");
    }

    // The slide of a name, or false with the error sent.
    std::shared_ptr<const OpenSlide> slideOr(httplib::Response &res, const std::string &name)
    {
        Lookup l = catalog_.find(name);
        if (!l.slide)
            sendError(res, l.status, l.reason);
        return l.slide;
    }

    void staticFile(const httplib::Request &req, httplib::Response &res, const std::string &name)
    {
        auto it = assets_.find(name);
        if (it == assets_.end())
            return sendError(res, 404, "no such file");
        if (notModified(req, res, it->second.etag, "public, max-age=3600"))
            return;
        res.set_content(it->second.body, it->second.type);
    }

    void listPage(httplib::Response &res)
    {
        using serve::htmlEscape;
        using serve::urlPath;
        const auto slides = catalog_.list();
        std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                           "<title>Slides</title><link rel=\"stylesheet\" href=\"/static/pyra.css\"></head>\n"
                           "<body class=\"list\"><h1>Slides</h1>\n";
        html += "<p class=\"root\">" + htmlEscape(catalog_.root()) + " &middot; " +
                std::to_string(slides.size()) + (slides.size() == 1 ? " slide" : " slides") + "</p>\n";
        html += "<table><thead><tr><th></th><th>Name</th><th>Pixels</th><th>Levels</th>"
                "<th>File</th></tr></thead><tbody>\n";
        for (const auto &s : slides) {
            const std::string url = urlPath(s.name);
            html += "<tr><td class=\"thumb\">";
            if (std::find(s.associated.begin(), s.associated.end(), "thumbnail") != s.associated.end())
                html += "<a href=\"/view/" + htmlEscape(url) +
                        "\"><img loading=\"lazy\" alt=\"\" src=\"/associated/" + htmlEscape(url) +
                        "/thumbnail.jpeg\"></a>";
            html += "</td><td>";
            if (s.error.empty())
                html += "<a href=\"/view/" + htmlEscape(url) + "\">" + htmlEscape(s.name) + "</a>";
            else
                html += htmlEscape(s.name) + "<div class=\"error\">" + htmlEscape(s.error) + "</div>";
            html +=
                "</td><td>" +
                (s.error.empty() ? std::to_string(s.width) + " &times; " + std::to_string(s.height) : "") +
                "</td><td>" + (s.error.empty() ? std::to_string(s.levels) : "") + "</td><td>" +
                humanSize(s.fileSize) + "</td></tr>\n";
        }
        html += "</tbody></table></body></html>\n";
        res.set_header("Cache-Control", "no-cache");
        res.set_content(html, "text/html; charset=utf-8");
    }

    static std::string humanSize(int64_t bytes)
    {
        const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
        double v = static_cast<double>(bytes);
        int u = 0;
        while (v >= 1024 && u < 4) {
            v /= 1024;
            ++u;
        }
        char text[32];
        std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
        return text;
    }

    void listJson(httplib::Response &res)
    {
        const auto slides = catalog_.list();
        JsonPtr array(cJSON_CreateArray(), cJSON_Delete);
        for (const auto &s : slides) {
            cJSON *o = cJSON_CreateObject();
            cJSON_AddItemToArray(array.get(), o);
            cJSON_AddStringToObject(o, "name", s.name.c_str());
            cJSON_AddNumberToObject(o, "fileSize", static_cast<double>(s.fileSize));
            if (!s.error.empty()) {
                cJSON_AddStringToObject(o, "error", s.error.c_str());
                continue;
            }
            const std::string url = serve::urlPath(s.name);
            cJSON_AddStringToObject(o, "view", ("/view/" + url).c_str());
            cJSON_AddStringToObject(o, "dzi", ("/dzi/" + url + ".dzi").c_str());
            cJSON_AddNumberToObject(o, "width", static_cast<double>(s.width));
            cJSON_AddNumberToObject(o, "height", static_cast<double>(s.height));
            cJSON_AddNumberToObject(o, "levels", s.levels);
            cJSON_AddNumberToObject(o, "mpp", s.mpp);
            cJSON *assoc = cJSON_AddArrayToObject(o, "associated");
            for (const auto &a : s.associated)
                cJSON_AddItemToArray(assoc, cJSON_CreateString(a.c_str()));
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_content(printJson(array.get()), "application/json");
    }

    void stats(httplib::Response &res)
    {
        JsonPtr o(cJSON_CreateObject(), cJSON_Delete);
        cJSON_AddNumberToObject(o.get(), "tilesServed", static_cast<double>(tilesServed_.load()));
        cJSON_AddNumberToObject(o.get(), "tilesEncoded", static_cast<double>(tilesEncoded_.load()));
        cJSON *levels = cJSON_AddObjectToObject(o.get(), "tilesByLevel");
        for (int i = 0; i < kMaxLevels; ++i)
            if (const uint64_t n = tilesByLevel_[i].load())
                cJSON_AddNumberToObject(levels, std::to_string(i).c_str(), static_cast<double>(n));
        cJSON_AddNumberToObject(o.get(), "tileCacheBytes", static_cast<double>(encoded_.size()));
        cJSON_AddNumberToObject(o.get(), "tileCacheTiles", static_cast<double>(encoded_.count()));
        cJSON_AddNumberToObject(o.get(), "tileCacheCapacity", static_cast<double>(encoded_.capacity()));
        cJSON_AddNumberToObject(o.get(), "decodedCacheBytes", static_cast<double>(decoded_.size()));
        cJSON_AddNumberToObject(o.get(), "decodedCacheCapacity", static_cast<double>(decoded_.capacity()));
        cJSON_AddNumberToObject(o.get(), "openSlides", static_cast<double>(catalog_.openCount()));
        res.set_header("Cache-Control", "no-store");
        res.set_content(printJson(o.get()), "application/json");
    }

    void viewPage(const httplib::Request &req, httplib::Response &res, const std::string &name)
    {
        if (!slideOr(res, name))
            return;
        // The page is the same for every slide: it reads the name from its URL.
        auto it = assets_.find("view.html");
        if (it == assets_.end())
            return sendError(res, 404, "no viewer page");
        if (notModified(req, res, it->second.etag, "no-cache"))
            return;
        res.set_content(it->second.body, it->second.type);
    }

    void info(const httplib::Request &req, httplib::Response &res, const std::string &name)
    {
        const auto s = slideOr(res, name);
        if (!s || notModified(req, res, "\"" + s->etag + "-info\"", "no-cache"))
            return;
        res.set_content(s->propertiesJson(), "application/json");
    }

    void associated(const httplib::Request &req, httplib::Response &res, const std::string &rest)
    {
        const size_t slash = rest.rfind('/');
        if (slash == std::string::npos)
            return sendError(res, 404, "no such page");
        const std::string file = rest.substr(slash + 1);
        pyradec::Associated which;
        if (file == "thumbnail.jpeg")
            which = pyradec::Associated::Thumbnail;
        else if (file == "label.jpeg")
            which = pyradec::Associated::Label;
        else if (file == "macro.jpeg")
            which = pyradec::Associated::Macro;
        else
            return sendError(res, 404, "no associated image " + file);
        const auto s = slideOr(res, rest.substr(0, slash));
        if (!s || notModified(req, res, "\"" + s->etag + "-" + file + "\"", "public, max-age=3600"))
            return;
        auto jpeg = s->slide->associatedJpeg(which);
        if (!jpeg)
            return sendError(res, 404, "the slide has no " + std::string(pyradec::nameOf(which)));
        res.set_content(reinterpret_cast<const char *>(jpeg->data.get()), jpeg->size, "image/jpeg");
    }

    void descriptor(const httplib::Request &req, httplib::Response &res, const std::string &name)
    {
        const auto s = slideOr(res, name);
        if (!s || notModified(req, res, "\"" + s->etag + "-dzi\"", "no-cache"))
            return;
        res.set_content(s->deepZoom->dzi("jpeg"), "application/xml");
    }

    // NAME_files/LEVEL/COL_ROW.jpeg
    void tile(const httplib::Request &req, httplib::Response &res, const std::string &rest)
    {
        const size_t fileSlash = rest.rfind('/');
        if (fileSlash == std::string::npos || fileSlash == 0)
            return sendError(res, 404, "no such page");
        const size_t levelSlash = rest.rfind('/', fileSlash - 1);
        if (levelSlash == std::string::npos)
            return sendError(res, 404, "no such page");
        const std::string files = rest.substr(0, levelSlash);
        const std::string levelText = rest.substr(levelSlash + 1, fileSlash - levelSlash - 1);
        const std::string file = rest.substr(fileSlash + 1);
        if (!endsWith(files, "_files") || files.size() <= 6)
            return sendError(res, 404, "no such page");
        if (!endsWith(file, ".jpeg"))
            return sendError(res, 404, "tiles are .jpeg");
        const std::string address = file.substr(0, file.size() - 5);
        const size_t underscore = address.find('_');
        if (underscore == std::string::npos)
            return sendError(res, 400, "malformed tile address " + address);
        int64_t level = 0, col = 0, row = 0;
        for (auto [text, value] :
             {std::pair{levelText, &level}, std::pair{address.substr(0, underscore), &col},
              std::pair{address.substr(underscore + 1), &row}}) {
            if (const int status = parseAddress(text, *value); status != 200)
                return sendError(res, status, status == 400 ? "malformed tile address" : "no such tile");
        }

        const auto s = slideOr(res, files.substr(0, files.size() - 6));
        if (!s)
            return;
        const pyradec::DeepZoom &dz = *s->deepZoom;
        if (level >= dz.levelCount())
            return sendError(res, 404,
                             "no level " + std::to_string(level) + " (the slide has " +
                                 std::to_string(dz.levelCount()) + ")");
        const auto &grid = dz.levelTiles()[static_cast<size_t>(level)];
        if (col >= grid.width || row >= grid.height)
            return sendError(res, 404,
                             "no tile " + std::to_string(col) + "_" + std::to_string(row) + " in level " +
                                 std::to_string(level));
        const std::string etag = "\"" + s->etag + "-" + std::to_string(level) + "-" + std::to_string(col) +
                                 "-" + std::to_string(row) + "\"";
        if (notModified(req, res, etag, "public, max-age=86400"))
            return;

        // The encoded cache is keyed by the file version: a reopened slide keeps its tiles.
        const pyradec::TileKey key{s->key, static_cast<int>(level), static_cast<int>(col),
                                   static_cast<int>(row)};
        auto jpeg = encoded_.get(key);
        if (!jpeg) {
            // Connections may be many; tiles in the making are a few per core,
            // which bounds both the CPU contention and the memory they take.
            Permit permit(computing_);
            jpeg = encoded_.get(key);  // made while this request waited?
            if (!jpeg) {
                jpeg = encode(dz.tile(static_cast<int>(level), col, row, &decoded_), s->name);
                encoded_.put(key, jpeg);
                ++tilesEncoded_;
            }
        }
        ++tilesServed_;
        ++tilesByLevel_[std::min<int64_t>(level, kMaxLevels - 1)];
        res.set_content(reinterpret_cast<const char *>(jpeg->data()), jpeg->size(), "image/jpeg");
    }

    // The library's encoder: libjpeg defaults (4:2:0, no optimised tables) at --quality.
    pyradec::TileCache::Value encode(const pyradec::Pixels &rgb, const std::string &name) const
    {
        unsigned char *out = nullptr;
        const int size =
            VtEncodeJpeg(rgb.data.data(), &out, options_.quality, rgb.width, rgb.height, JCS_RGB);
        Owned<unsigned char> owned(out);
        if (size <= 0)
            throw pyradec::SlideError(name + ": a tile did not encode");
        return std::make_shared<const std::vector<uint8_t>>(out, out + size);
    }

    struct Permit {
        explicit Permit(std::counting_semaphore<> &s) : s_(s) { s_.acquire(); }
        ~Permit() { s_.release(); }
        Permit(const Permit &) = delete;
        Permit &operator=(const Permit &) = delete;
        std::counting_semaphore<> &s_;
    };

    ServeOptions options_;
    Catalog catalog_;
    std::counting_semaphore<> computing_{
        static_cast<std::ptrdiff_t>(2 * std::max(1u, std::thread::hardware_concurrency()))};
    pyradec::TileCache encoded_;
    pyradec::TileCache decoded_;
    std::string assetsDir_;
    std::map<std::string, Asset> assets_;
    std::atomic<uint64_t> tilesServed_{0}, tilesEncoded_{0};
    std::atomic<uint64_t> tilesByLevel_[kMaxLevels];
};

const char *const kDescription = "Serves one slide, or every .pyra slide under a folder, to web browsers: a\n"
                                 "list of slides at /, a viewer at /view/NAME, Deep Zoom tiles at\n"
                                 "/dzi/NAME.dzi, properties at /info/NAME.json, associated pictures at\n"
                                 "/associated/NAME/thumbnail|label|macro.jpeg. Listens on 127.0.0.1 unless\n"
                                 "--bind says otherwise; --port 0 picks a free port. Stops on Ctrl-C.";

// Runs the server until SIGINT or SIGTERM; throws Failure when it cannot start.
void runServe(const ServeOptions &options);

}  // namespace

void addServeCommand(CLI::App &app)
{
    auto o = std::make_shared<ServeOptions>();
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    // A worker serves one connection at a time, kept-alive ones included: enough
    // of them that a few browsers (six connections each) or idle clients do
    // not hold up the rest. Tile work itself is limited to two per core.
    o->threads = static_cast<int>(std::max(64u, 8 * cores));
    CLI::App *cmd = addCommand(app, "serve", "Deep Zoom server and viewer for browsers", kDescription);
    cmd->option_defaults()->always_capture_default();
    cmd->add_option("PATH", o->path, "a slide file, or a folder searched for .pyra files")->required();
    cmd->add_option("--port", o->port, "TCP port (0: any free port)")->check(CLI::Range(0, 65535));
    cmd->add_option("--bind", o->bind, "address to listen on");
    cmd->add_option("--tile-size", o->tileSize, "Deep Zoom tile size")->check(CLI::Range(1, 4096));
    cmd->add_option("--overlap", o->overlap, "Deep Zoom tile overlap")->check(CLI::Range(0, 64));
    cmd->add_option("--quality", o->quality, "JPEG quality of tiles")->check(CLI::Range(1, 100));
    cmd->add_option("--cache-mb", o->cacheMb, "memory for cached tiles, MiB")->check(CLI::Range(0, 1 << 20));
    cmd->add_option("--threads", o->threads, "connections served at once (tiles are made two per core)")
        ->check(CLI::Range(1, 1024));
    cmd->add_option("--max-open", o->maxOpen, "slides kept open at once")->check(CLI::Range(1, 100000));
    cmd->add_option("--assets", o->assets, "the viewer's folder (default: installed beside pyra)");
    cmd->add_flag("--verbose", o->verbose, "log one line per request on standard error");
    cmd->callback([o] { runServe(*o); });
}

namespace {

void runServe(const ServeOptions &options)
{
    // Signals are taken by one thread that stops the server; a client that goes
    // away mid-response must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Memory in proportion to the cache, not to the worker count: a few malloc
    // arenas shared by the workers rather than one per worker. Tile-sized
    // buffers come from the heap, not from a fresh mmap (and its page faults) each.
    mallopt(M_ARENA_MAX, 4);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Server server(options);
    httplib::Server http;
    const int threads = options.threads;
    http.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    http.set_read_timeout(kReadTimeoutSeconds, 0);
    http.set_write_timeout(kWriteTimeoutSeconds, 0);
    http.set_keep_alive_max_count(kKeepAliveRequests);
    http.set_payload_max_length(kMaxPayloadBytes);
    // Headers and body go out in separate writes: without this, Nagle's
    // algorithm holds the body until the client's delayed ACK (about 40 ms).
    http.set_tcp_nodelay(true);
    // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, with which a
    // second server on the same port would start and share the connections.
    http.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // GET and HEAD go to the dispatcher before the library's routing; other
    // methods reach it through routes, after the library has read (and bounded)
    // their bodies, so that the connection stays in step.
    http.set_pre_routing_handler([&server](const httplib::Request &req, httplib::Response &res) {
        if (req.method != "GET" && req.method != "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        server.handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    const auto otherMethod = [&server](const httplib::Request &req, httplib::Response &res) {
        server.handle(req, res);
    };
    const char *const anyPath = "[\\s\\S]*";
    http.Post(anyPath, otherMethod);
    http.Put(anyPath, otherMethod);
    http.Patch(anyPath, otherMethod);
    http.Delete(anyPath, otherMethod);
    http.Options(anyPath, otherMethod);
    // Errors the HTTP layer finds itself (bad request line, too long, ...) get a body too.
    const httplib::Server::HandlerWithResponse fillError = [](const httplib::Request &,
                                                              httplib::Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        sendError(res, res.status, "");
        return httplib::Server::HandlerResponse::Handled;
    };
    http.set_error_handler(fillError);
    http.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        sendError(res, 500, "internal error");
    });
    if (options.verbose)
        http.set_logger([](const httplib::Request &req, const httplib::Response &res) {
            std::fprintf(stderr, "%s %s %d %zu\n", req.method.c_str(), printableForLog(req.path).c_str(),
                         res.status, res.body.size());
        });

    int port = options.port;
    if (port == 0)
        port = http.bind_to_any_port(options.bind);
    else if (!http.bind_to_port(options.bind, port))
        port = -1;
    if (port <= 0)
        throw Failure("cannot listen on " + options.bind + ":" + std::to_string(options.port) +
                      " (address in use or not available)");

    const std::string host =
        options.bind.find(':') != std::string::npos ? "[" + options.bind + "]" : options.bind;
    std::printf("pyra serve: %s (%s)\n", server.catalog().root().c_str(),
                server.catalog().singleFile() ? "one slide" : "a folder of slides");
    if (!server.hasViewer())
        std::printf("pyra serve: OpenSeadragon is missing from %s: run scripts/fetch-viewer.sh\n",
                    server.assetsDir().c_str());
    std::printf("Open http://%s:%d/ in a browser (Ctrl-C stops)\n", host.c_str(), port);
    std::fflush(stdout);

    std::atomic<bool> done{false}, signalled{false};
    std::thread stopper([&] {
        const timespec wait{0, 200 * 1000 * 1000};
        while (!done.load()) {
            if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) {
                signalled = true;
                http.stop();
                return;
            }
        }
    });
    const bool ok = http.listen_after_bind();
    done = true;
    stopper.join();
    if (!ok && !signalled)
        throw Failure("the server stopped on an error");
}

}  // namespace

}  // namespace pyra
