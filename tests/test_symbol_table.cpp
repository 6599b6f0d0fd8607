// The Linux shared object's export table: the flat interface under plain names,
// every other function under its C++ name, the ColorTable data symbol, and cJSON.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

// Defined dynamic symbols of the library, raw or demangled.
std::set<std::string> dynamicSymbols(bool demangle)
{
    std::string command =
        std::string("nm -D --defined-only ") + (demangle ? "-C " : "") + "'" PYRADEC_LIBRARY_PATH "'";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe)
        return names;
    char line[4096];
    while (fgets(line, sizeof line, pipe.get())) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        // "<address> <type> <name>"
        size_t first = text.find(' ');
        size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
        if (second != std::string::npos)
            names.insert(text.substr(second + 1));
    }
    return names;
}

bool hasFunctionNamed(const std::set<std::string> &demangled, const std::string &name)
{
    for (const auto &symbol : demangled)
        if (symbol.rfind(name + "(", 0) == 0)
            return true;
    return false;
}

const char *const kPlainNames[] = {
    "VtOpenPyra",
    "VtClosePyra",
    "VtEncodeJpeg",
    "VtDecodeJpeg",
    "DecodeHevc",
    "InitColorCollectTable",
    "RgbColorCorrect",
    "DisposeColorCorrectTable",
    "VtGetJpegSliceOfSpecifyLayer",
    "VtGetHevcSliceOfSpecifyLayer",
    "VtSpecifyLayerJpeg2Rgb",
    "VtGetRoiRgbOfSpecifyLayer",
    "VtGetBlockJpegFromPyra",
    "GetDescription",
    "GetLayerInfo",
    "GetThumbnailJpeg",
    "GetThumbnailAbgr",
    "GetLabelJpeg",
    "GetLabelAbgr",
    "GetMacrographJpeg",
    "GetMacrographAbgr",
    "Dispose",
    "GetSliceJpeg",
    "GetSliceBgr",
    "GetRoiSliceJpeg",
    "GetRoiSliceBgr",
    "GetRgb24FromBmp",
    // data symbol
    "ColorTable",
};

const char *const kDecoratedNames[] = {
    // file layer
    "VtOpenFile",
    "VtCloseFile",
    "VtGetFileSize",
    "VtGetFileSizeSystemCall",
    "VtRewind",
    "VtFseeki64",
    "VtFtelli64",
    "VtFreeMemory",
    "VtMemset",
    // record readers and associated images
    "VtGetPicHead",
    "VtGetPersonInfo",
    "VtGetExtraInfo",
    "VtGetCurThumbnailOffset",
    "VtGetLayerOffset",
    "VtGetPicInfoOfSpecifyLayer",
    "VtGetMacrographInfoAndJpeg",
    "VtGetMacroImageInfo",
    "VtGetThumbnailInfoAndJpeg",
    "VtGetThumbImageInfo",
    // release functions
    "DisposePicHead",
    "DisposePersonInfo",
    "DisposeExtraInfo",
    "DisposeMacrographInfo",
    "DisposeMacroImageInfo",
    "DisposeThumbImageInfo",
    "DisposeThumbnailInfo",
    "DisposeSliceLayerInfo",
    "DisposeTileImageInfo",
    "DisposeClassifyRoot",
    // codecs, colour, tiles, accessors, BMP
    "GetColorChannel",
    "my_error_exit",
    "Yuv420pRgb",
    "ReturnMax",
    "ReturnMin",
    "ScalarRgb",
    "Rgb2Hsv",
    "Hsv2Rgb",
    "GammaTableInit",
    "InitColorRangeTable",
    "MallocColorCorrectTable",
    "VtGetRgbSliceOfSpecifyLayer",
    "Bgr2Argb",
    "GetAllSliceJpeg",
    "Print",
};

TEST(ExportTable, FlatInterfaceHasPlainNames)
{
    const auto raw = dynamicSymbols(false);
    ASSERT_FALSE(raw.empty()) << "nm found no symbols in " PYRADEC_LIBRARY_PATH;
    for (const char *name : kPlainNames)
        EXPECT_TRUE(raw.count(name)) << name << " is not exported under its plain name";
}

TEST(ExportTable, InternalFunctionsHaveDecoratedNames)
{
    const auto raw = dynamicSymbols(false);
    const auto demangled = dynamicSymbols(true);
    for (const char *name : kDecoratedNames) {
        EXPECT_TRUE(hasFunctionNamed(demangled, name)) << name << " is not exported under a C++ name";
        EXPECT_FALSE(raw.count(name)) << name << " is exported under a plain name";
    }
}

TEST(ExportTable, DecoratedSignaturesMatchTheDocumentedOnes)
{
    const auto demangled = dynamicSymbols(true);
    for (const char *signature :
         {"VtGetPicHead(_IO_FILE*, VtPicHead*)", "GetAllSliceJpeg(char*, char*, int, int)", "Print(BmpInfo*)",
          "Bgr2Argb(unsigned char*, int, int, unsigned char*)"})
        EXPECT_TRUE(demangled.count(signature)) << signature;
}

TEST(ExportTable, CarriesTheJsonInterface)
{
    const auto raw = dynamicSymbols(false);
    for (const char *name : {"cJSON_Parse", "cJSON_Print", "cJSON_Delete", "cJSON_CreateObject",
                             "cJSON_AddNumberToObject", "cJSON_GetObjectItem", "cJSON_Version"})
        EXPECT_TRUE(raw.count(name)) << name;
}

}  // namespace
