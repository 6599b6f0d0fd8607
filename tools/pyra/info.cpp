// pyra info: the slide's description and every layer's geometry.
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <cjson/cJSON.h>

#include "pyra.h"

namespace pyra {

namespace {

const char *const kDetails =
    "Prints the slide's description (compression, quality, resolution, sizes of the\n"
    "image, the tiles and the associated pictures) and the geometry of every layer\n"
    "(grid size, tile columns and rows, blank margins at the right and bottom).";

struct InfoOptions {
    std::string path;
    bool json = false;
};

using Items = std::vector<std::pair<std::string, std::string>>;
using pyradec::parseItems;

std::string find(const Items &items, const std::string &key)
{
    for (const auto &[k, v] : items)
        if (k == key)
            return v;
    return {};
}

// The value as a number: the leading numeral, without a unit such as "um/pixel".
bool asNumber(const std::string &value, double &out)
{
    if (value.empty())
        return false;
    char *end = nullptr;
    out = std::strtod(value.c_str(), &end);
    if (end == value.c_str())
        return false;
    const std::string rest = end;
    return rest.empty() || rest == "um/pixel";
}

// JSON keys in lowerCamelCase: "ImageWidth" -> "imageWidth", "MPP" -> "mpp", "XCount" -> "xCount".
std::string jsonKey(const std::string &key)
{
    std::string out = key;
    size_t upper = 0;
    while (upper < out.size() && std::isupper(static_cast<unsigned char>(out[upper])))
        ++upper;
    // A run of capitals is an abbreviation, lowered up to the next word's capital.
    const size_t lowerTo = upper == out.size() ? upper : std::max<size_t>(1, upper - 1);
    for (size_t i = 0; i < lowerTo; ++i)
        out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i])));
    return out;
}

// A float as the shortest decimal that names it, not its binary expansion.
double tidy(float f)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(f));
    return std::strtod(text, nullptr);
}

using Colour = pyradec::StoredColorParams;

cJSON *numberArray(const float *values, int n)
{
    cJSON *array = cJSON_CreateArray();
    for (int i = 0; i < n; ++i)
        cJSON_AddItemToArray(array, cJSON_CreateNumber(tidy(values[i])));
    return array;
}

struct CJsonDeleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};

void addItems(cJSON *object, const Items &items)
{
    for (const auto &[k, v] : items) {
        double number;
        if (asNumber(v, number))
            cJSON_AddNumberToObject(object, jsonKey(k).c_str(), number);
        else
            cJSON_AddStringToObject(object, jsonKey(k).c_str(), v.c_str());
    }
}

long number(const Items &items, const std::string &key)
{
    return std::strtol(find(items, key).c_str(), nullptr, 10);
}

// "the tile index holds 4 of 6 tiles" when a layer's index is shorter than its grid.
std::string shortIndexNote(const pyradec::Level &l)
{
    const uint64_t grid = uint64_t(l.columns) * uint64_t(l.rows);
    if (l.indexedTiles >= grid)
        return {};
    return "the tile index holds " + std::to_string(l.indexedTiles) + " of " + std::to_string(grid) +
           " tiles; the rest show white";
}

void runInfo(const InfoOptions &options)
{
    const std::string &path = options.path;
    const auto slide = openSlide(path);
    const Items &desc = slide->description().items;
    const std::vector<pyradec::Level> &levels = slide->levels();
    const uint32_t layers = static_cast<uint32_t>(levels.size());
    std::vector<Items> layerItems;
    for (uint32_t i = 0; i < layers; ++i)
        layerItems.push_back(parseItems(slide->layerText(static_cast<int>(i)).c_str()));
    const std::optional<Colour> &extra = slide->colorParams();

    if (options.json) {
        std::unique_ptr<cJSON, CJsonDeleter> root(cJSON_CreateObject());
        cJSON_AddStringToObject(root.get(), "path", path.c_str());
        addItems(root.get(), desc);
        cJSON *list = cJSON_AddArrayToObject(root.get(), "layers");
        for (uint32_t i = 0; i < layers; ++i) {
            cJSON *layer = cJSON_CreateObject();
            cJSON_AddNumberToObject(layer, "index", i);
            addItems(layer, layerItems[i]);
            const Items &li = layerItems[i];
            cJSON_AddNumberToObject(layer, "contentWidth",
                                    number(li, "LayerWidth") - number(li, "BoundWidth"));
            cJSON_AddNumberToObject(layer, "contentHeight",
                                    number(li, "LayerHeight") - number(li, "BoundHeight"));
            cJSON_AddNumberToObject(layer, "indexedTiles", levels[i].indexedTiles);
            cJSON_AddItemToArray(list, layer);
        }
        if (extra) {
            const Colour &colour = *extra;
            cJSON *c = cJSON_AddObjectToObject(root.get(), "colour");
            cJSON_AddNumberToObject(c, "gamma", tidy(colour.gamma));
            cJSON_AddItemToObject(c, "channelGains", numberArray(colour.channelGains, 3));
            cJSON_AddItemToObject(c, "hsvScales", numberArray(colour.hsvScales, 3));
            cJSON_AddItemToObject(c, "colorMatrix", numberArray(colour.colorMatrix, 9));
        }
        std::unique_ptr<char, decltype(&std::free)> text(cJSON_Print(root.get()), std::free);
        if (!text)
            throw Failure(path + ": could not format JSON");
        std::printf("%s\n", text.get());
        return;
    }

    auto d = [&](const char *key) { return find(desc, key); };
    std::printf("slide         %s\n", path.c_str());
    std::printf("compression   %s, quality %s\n", d("CompressionType").c_str(), d("Quality").c_str());
    std::printf("image         %s x %s pixels\n", d("ImageWidth").c_str(), d("ImageHeight").c_str());
    std::printf("tiles         %s x %s pixels\n", d("TileWidth").c_str(), d("TileHeight").c_str());
    std::string mpp = d("MPP");
    if (const size_t unit = mpp.find("um/pixel"); unit != std::string::npos)
        mpp = mpp.substr(0, unit) + " um/pixel";
    std::printf("resolution    %s, magnification %sx\n", mpp.c_str(), d("AppMag").c_str());
    std::printf("layers        %s, ratio %s\n", d("Layer").c_str(), d("Ratio").c_str());
    std::printf("thumbnail     %s x %s\n", d("ThumbWidth").c_str(), d("ThumbHeight").c_str());
    std::printf("label         %s x %s\n", d("LabelWidth").c_str(), d("LabelHeight").c_str());
    std::printf("macrograph    %s x %s\n", d("MacroWidth").c_str(), d("MacroHeight").c_str());
    if (extra) {
        const Colour &colour = *extra;
        const float *g = colour.channelGains, *h = colour.hsvScales, *m = colour.colorMatrix;
        std::printf("colour        gamma %g, gains %g %g %g, hsv %g %g %g\n", colour.gamma, g[0], g[1], g[2],
                    h[0], h[1], h[2]);
        std::printf("              matrix %g %g %g / %g %g %g / %g %g %g\n", m[0], m[1], m[2], m[3], m[4],
                    m[5], m[6], m[7], m[8]);
    } else {
        std::printf("colour        none (pixels pass unchanged)\n");
    }
    std::printf("\n%5s %8s %8s %7s %5s %6s %6s %15s\n", "layer", "width", "height", "columns", "rows",
                "right", "bottom", "content");
    for (uint32_t i = 0; i < layers; ++i) {
        const Items &li = layerItems[i];
        const std::string content = std::to_string(number(li, "LayerWidth") - number(li, "BoundWidth")) +
                                    " x " +
                                    std::to_string(number(li, "LayerHeight") - number(li, "BoundHeight"));
        std::printf("%5u %8s %8s %7s %5s %6s %6s %15s\n", i, find(li, "LayerWidth").c_str(),
                    find(li, "LayerHeight").c_str(), find(li, "XCount").c_str(), find(li, "YCount").c_str(),
                    find(li, "BoundWidth").c_str(), find(li, "BoundHeight").c_str(), content.c_str());
    }
    std::printf("(width and height: the tile grid; right and bottom: its blank margins)\n");
    for (const pyradec::Level &l : levels)
        if (const std::string note = shortIndexNote(l); !note.empty())
            std::printf("layer %d: %s\n", l.index, note.c_str());
}

}  // namespace

void addInfoCommand(CLI::App &app)
{
    auto options = std::make_shared<InfoOptions>();
    CLI::App *cmd = addCommand(app, "info", "description and layer geometry", kDetails);
    cmd->add_option("SLIDE", options->path, "the slide file")->required();
    cmd->add_flag("--json", options->json, "one JSON object with the same facts, numbers as numbers");
    cmd->callback([options] { runInfo(*options); });
}

}  // namespace pyra
