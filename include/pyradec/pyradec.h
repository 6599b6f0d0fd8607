/*
 * pyradec: reader of Pyra whole-slide image files.
 *
 * The flat interface: plain functions over plain pointers and packed records.
 * Compiles as C99 and as C++. Every buffer the library hands out is a heap
 * block released with Dispose().
 */
#ifndef PYRADEC_PYRADEC_H
#define PYRADEC_PYRADEC_H

#include <stdint.h>

#include "pyradec/common.h"

#if defined(_WIN32)
#  if defined(PYRADEC_BUILDING)
#    define PYRADEC_API __declspec(dllexport)
#  else
#    define PYRADEC_API __declspec(dllimport)
#  endif
#else
#  define PYRADEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Status codes. 0 is success; every failure is one of these negatives.      */
/* ------------------------------------------------------------------------ */
enum VtStatus {
    VT_OK = 0,
    VT_ERR_UTILITY = -1,          /* utility failure: no table, unsupported colour space, no size */
    VT_ERR_NO_FILE = -2,          /* no stream, or the file is empty */
    VT_ERR_READ = -3,             /* a read delivered fewer bytes than requested */
    VT_ERR_JPEG_ENCODE = -6,      /* a decoded HEVC tile did not encode as JPEG */
    VT_ERR_DECODE = -7,           /* a tile did not decode to the expected pixels */
    VT_ERR_PIC_INFO_MAGIC = -10,  /* thumbnail or layer record without "IF", or the layer walk fell short */
    VT_ERR_HEAD_MAGIC = -12,      /* file header without "VT" */
    VT_ERR_NULL_ARG = -14,        /* a required pointer is null, or the handle lacks a needed part */
    VT_ERR_PERSON_MAGIC = -15,    /* person information without "PI" */
    VT_ERR_MACRO_MAGIC = -16,     /* associated-image header without "MI" */
    VT_ERR_ABSENT = -17,          /* the header declares the record absent */
    VT_ERR_LAYER = -18,           /* layer index out of range */
    VT_ERR_TILE_POS = -19,        /* tile column or row out of range */
    VT_ERR_REGION = -20,          /* region empty, outside, or larger than the layer */
    VT_ERR_BLOCKS = -21,          /* block grid size out of range */
    VT_ERR_EXTRA_MAGIC = -22,     /* extra information without "EI" */
    VT_ERR_HEVC_DECODE = -28      /* an HEVC tile failed to decode on its way to JPEG */
};

/* ------------------------------------------------------------------------ */
/* On-disk records, held in memory exactly as they lie in the file            */
/* (little-endian, packed).                                                  */
/* ------------------------------------------------------------------------ */
#pragma pack(push, 1)

/* File header, 156 bytes at offset 0. Magic "VT". */
typedef struct VtPicHead {
    unsigned char magic[2];
    unsigned char reserved0[28];
    uint32_t macroImageCount;
    uint32_t hasPersonInfo;
    uint32_t layerCount;
    uint32_t imageWidth;
    uint32_t imageHeight;
    uint32_t tileWidth;
    uint32_t tileHeight;
    uint32_t thumbWidth;
    uint32_t thumbHeight;
    unsigned char reserved1;
    uint8_t quality;
    unsigned char reserved2[4];
    float ratio;
    double mpp;
    uint32_t appMag;
    uint64_t hasExtraInfo;
    unsigned char reserved3[8];
    uint8_t compressionType; /* 0 JPEG, 4 HEVC */
    unsigned char reserved4[51];
} VtPicHead;

/* Person information, 6808 bytes at offset 156. Magic "PI". */
typedef struct VtPersonInfo {
    unsigned char magic[2];
    unsigned char reserved[6806];
} VtPersonInfo;

/* Extra information with the colour parameters, 768 bytes at 6964. Magic "EI". */
typedef struct VtExtraInfo {
    unsigned char magic[2];
    unsigned char reserved0[32];
    float gamma;
    float channelGains[3]; /* red, green, blue output gain */
    float hsvScales[3];    /* hue, saturation, value factor */
    float colorMatrix[9];  /* row-major; row = output channel, column = input channel */
    unsigned char reserved1[670];
} VtExtraInfo;

/* Associated-image header, 123 bytes, followed by its JPEG data. Magic "MI". */
typedef struct VtMacrographInfo {
    unsigned char magic[2];
    unsigned char reserved0[8];
    uint32_t width;
    uint32_t height;
    uint32_t channels;
    unsigned char reserved1[12];
    uint64_t dataLength;
    unsigned char reserved2;
    uint64_t nextOffset;
    unsigned char reserved3[72];
} VtMacrographInfo;

/* Picture record, 122 bytes: the thumbnail record and every layer record. Magic "IF". */
typedef struct VtPicInfo {
    unsigned char magic[2];
    unsigned char reserved0[8];
    uint32_t tileCount;
    int32_t xCount;
    int32_t yCount;
    uint64_t dataLength;  /* thumbnail record only */
    uint64_t nextOffset;
    unsigned char reserved1[12];
    int32_t boundWidth;
    int32_t boundHeight;
    uint8_t imageFormat;  /* thumbnail record only: 0 JPEG, 1 BMP */
    unsigned char reserved2[63];
} VtPicInfo;

/* One decoded image (label, macrograph, thumbnail), also the element of block arrays. */
typedef struct VtImageInfo {
    unsigned char *encoded;  /* as stored: JPEG, or BMP for a BMP thumbnail */
    unsigned char *pixels;   /* width x height x 3, blue-green-red, top row first; may be null */
    int32_t width;
    int32_t height;
    int32_t channels;
    uint8_t format;          /* 0 JPEG, 1 BMP */
    int32_t bitDepth;
    int32_t encodedLength;
} VtImageInfo;

/* BMP information header, 40 bytes as stored. */
typedef struct BmpInfo {
    uint32_t headerSize;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t imageSize;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t colorsUsed;
    uint32_t colorsImportant;
} BmpInfo;

#pragma pack(pop)

#ifdef __cplusplus
#  define PYRADEC_STATIC_ASSERT static_assert
#else
#  define PYRADEC_STATIC_ASSERT _Static_assert
#endif
PYRADEC_STATIC_ASSERT(sizeof(VtPicHead) == 156, "VtPicHead is 156 bytes");
PYRADEC_STATIC_ASSERT(sizeof(VtPersonInfo) == 6808, "VtPersonInfo is 6808 bytes");
PYRADEC_STATIC_ASSERT(sizeof(VtExtraInfo) == 768, "VtExtraInfo is 768 bytes");
PYRADEC_STATIC_ASSERT(sizeof(VtMacrographInfo) == 123, "VtMacrographInfo is 123 bytes");
PYRADEC_STATIC_ASSERT(sizeof(VtPicInfo) == 122, "VtPicInfo is 122 bytes");
PYRADEC_STATIC_ASSERT(sizeof(BmpInfo) == 40, "BmpInfo is 40 bytes");

/* ------------------------------------------------------------------------ */
/* In-memory records.                                                        */
/* ------------------------------------------------------------------------ */

/* Tile index of one layer: tileCount entries each (tileCount of the layer's VtPicInfo). */
typedef struct VtSliceInfo {
    int64_t *tileOffsets; /* absolute file offset of each tile */
    int32_t *tileSizes;   /* stored size of each tile; 0 (or less) means no data */
} VtSliceInfo;

/* Colour-correction table: corrected red, green and blue for every 24-bit input
 * colour, indexed [R][G][B], and the identity rangeTable. */
typedef struct ColorCorrectTable {
    unsigned char ***redTable;
    unsigned char ***greenTable;
    unsigned char ***blueTable;
    unsigned char rangeTable[256];
} ColorCorrectTable;

/* The slide handle. */
typedef struct VtPyraInfo {
    char *path;
    VtPicHead *picHead;
    VtPersonInfo *personInfo;   /* null when absent */
    VtExtraInfo *extraInfo;     /* null when absent */
    VtImageInfo **macroImages;  /* two slots, label and macrograph; null when absent */
    VtImageInfo *thumbnail;
    VtPicInfo **picInfos;       /* layerCount entries */
    VtSliceInfo **sliceInfos;   /* layerCount entries */
    /* The colour table this slide decodes with, shared by slides with identical
     * colour parameters; null when the slide has none (pixels pass unchanged). */
    ColorCorrectTable *colorTable;
    /* The path made absolute when the slide was opened; tiles are read through
     * it, so that a change of working directory does not lose the file (null
     * in a handle made without it: tiles are read through path). */
    char *resolvedPath;
} VtPyraInfo;

/* Released by DisposeTileImageInfo; built nowhere in the library. */
typedef struct VtTileImageInfo {
    unsigned char *tileData;
    VtImageInfo *tileImage;
} VtTileImageInfo;

/* Released by DisposeClassifyRoot; built nowhere in the library. */
typedef struct ClassifyEntry {
    unsigned char *header;  /* item count: uint32 at byte 10 */
    unsigned char **items;
} ClassifyEntry;

typedef struct ClassifyRoot {
    unsigned char *header;  /* entry count: int32 at byte 142 */
    ClassifyEntry **entries;
} ClassifyRoot;

/* The colour table of the most recently opened slide with colour parameters,
 * used by VtDecodeJpeg, RgbColorCorrect and DecodeHevc; null after any close. */
#if !defined(_WIN32)
extern PYRADEC_API ColorCorrectTable *ColorTable;
#elif defined(PYRADEC_BUILDING)
/* The DLL keeps it internal: hosts reach the table only through the functions. */
extern ColorCorrectTable *ColorTable;
#endif

/* ------------------------------------------------------------------------ */
/* Slide handle.                                                             */
/* ------------------------------------------------------------------------ */
PYRADEC_API VtPyraInfo *VtOpenPyra(const char *path);
PYRADEC_API void VtClosePyra(VtPyraInfo *pyra);

/* ------------------------------------------------------------------------ */
/* Codecs.                                                                   */
/* ------------------------------------------------------------------------ */
/* Encodes packed pixels of the given libjpeg colour space; returns the stream
 * length (0 on a libjpeg error, -1 for an unsupported colour space). */
PYRADEC_API int VtEncodeJpeg(const unsigned char *pixels, unsigned char **jpeg, int quality,
                             int width, int height, int colorSpace);
/* Decodes a stream through ColorTable; returns the decoded byte count or 0. */
PYRADEC_API int64_t VtDecodeJpeg(const unsigned char *jpeg, unsigned long length,
                                 unsigned char **pixels, int colorSpace);
/* Decodes one HEVC picture into out (layout: libavutil pixel format number). */
PYRADEC_API int DecodeHevc(const unsigned char *data, int width, int height, int length,
                           unsigned char *out, int layout);

/* ------------------------------------------------------------------------ */
/* Colour correction.                                                        */
/* ------------------------------------------------------------------------ */
PYRADEC_API int InitColorCollectTable(VtPyraInfo *pyra);
PYRADEC_API unsigned char *RgbColorCorrect(const unsigned char *pixels, int width, int height,
                                           int step);
PYRADEC_API void DisposeColorCorrectTable(ColorCorrectTable *table);

/* ------------------------------------------------------------------------ */
/* Tiles, layers, regions and blocks (status-returning).                     */
/* ------------------------------------------------------------------------ */
PYRADEC_API int VtGetJpegSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **jpeg, int *length,
                                             int layer, int col, int row);
PYRADEC_API int VtGetHevcSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **data, int *length,
                                             int layer, int col, int row);
PYRADEC_API int VtSpecifyLayerJpeg2Rgb(VtPyraInfo *pyra, unsigned char **pixels, int *width,
                                       int *height, int layer);
PYRADEC_API int VtGetRoiRgbOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **pixels, int width,
                                          int height, unsigned int x, unsigned int y, int layer);
PYRADEC_API int VtGetBlockJpegFromPyra(VtPyraInfo *pyra, VtImageInfo *blocks, int quality,
                                       int xBlocks, int yBlocks, int layer, int colorSpace);

/* ------------------------------------------------------------------------ */
/* Convenience accessors: null on failure; release results with Dispose.     */
/* ------------------------------------------------------------------------ */
PYRADEC_API char *GetDescription(VtPyraInfo *pyra);
PYRADEC_API char *GetLayerInfo(VtPyraInfo *pyra, int layer);
PYRADEC_API unsigned char *GetThumbnailJpeg(VtPyraInfo *pyra, int *width, int *height, int *length);
PYRADEC_API unsigned char *GetThumbnailAbgr(VtPyraInfo *pyra, int *width, int *height);
PYRADEC_API unsigned char *GetLabelJpeg(VtPyraInfo *pyra, int *width, int *height, int *length);
PYRADEC_API unsigned char *GetLabelAbgr(VtPyraInfo *pyra, int *width, int *height);
PYRADEC_API unsigned char *GetMacrographJpeg(VtPyraInfo *pyra, int *width, int *height, int *length);
PYRADEC_API unsigned char *GetMacrographAbgr(VtPyraInfo *pyra, int *width, int *height);
PYRADEC_API void Dispose(void *buffer);

PYRADEC_API unsigned char *GetSliceJpeg(VtPyraInfo *pyra, int layer, int col, int row, int *width,
                                        int *height, int *length);
PYRADEC_API unsigned char *GetSliceBgr(VtPyraInfo *pyra, int layer, int col, int row, int *width,
                                       int *height);
PYRADEC_API unsigned char *GetRoiSliceJpeg(VtPyraInfo *pyra, int layer, int x, int y, int width,
                                           int height, int *length);
PYRADEC_API unsigned char *GetRoiSliceBgr(VtPyraInfo *pyra, int layer, int x, int y, int width,
                                          int height);

/* ------------------------------------------------------------------------ */
/* BMP.                                                                      */
/* ------------------------------------------------------------------------ */
/* Packed 3-byte pixels, top row first, from a BMP file image in memory. */
PYRADEC_API unsigned char *GetRgb24FromBmp(const unsigned char *bmp, BmpInfo *info);

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && !defined(_WIN32)
/* Linux build only; exported under C++ names. */
/* Writes layer 0 of the slide at path as w x h JPEG files into dir; 1 on success, 0 on failure. */
PYRADEC_API int GetAllSliceJpeg(char *path, char *dir, int w, int h);
/* Prints width, height and bit count of a BMP header to standard output. */
PYRADEC_API void Print(BmpInfo *info);
#endif

#endif /* PYRADEC_PYRADEC_H */
