/**
 * @file pyradec.h
 * @brief pyradec: reader of Pyra whole-slide image files.
 *
 * The flat interface: plain functions over plain pointers and packed records.
 * The header compiles as C99 and as C++.
 *
 * @par Conventions that hold for every function
 * - **Buffers.** Every buffer the library hands out (texts, JPEG streams,
 *   pixel buffers) is a fresh heap block that the caller owns and releases
 *   with Dispose(), never with its own `free` (the library's heap may not be
 *   the host's, as on Windows).
 * - **Pixels.** Packed, top row first, no bytes between rows. Decoded tiles,
 *   regions and layers are 3 bytes per pixel in the order **blue, green,
 *   red** (libjpeg's `JCS_EXT_BGR`, value 8). Only the accessors whose names
 *   end in `Abgr` hand out 4 bytes per pixel, and those are blue, green, red,
 *   255 in memory, despite the name.
 * - **Coordinates.** Layer 0 is the full resolution; every further layer is
 *   smaller. Tile (col, row) counts from 0 at the top left of the layer's
 *   tile grid; pixel (x, y) counts from 0 at the top-left pixel of tile (0, 0).
 *   A layer's grid is `xCount` × `tileWidth` by `yCount` × `tileHeight`
 *   pixels; its image content is that less `boundWidth` columns at the right
 *   and `boundHeight` rows at the bottom (blank margins).
 * - **Absent tiles.** A tile whose stored size is 0 or less, or whose grid
 *   position lies past the end of a short tile index, has no stored bytes. It
 *   shows as white in regions, whole layers and blocks (bytes of exactly 255).
 *   The single-tile fetches give a white JPEG (VtGetJpegSliceOfSpecifyLayer())
 *   or no bytes (VtGetHevcSliceOfSpecifyLayer()) for a stored size of 0 or
 *   less, and #VT_ERR_TILE_POS past the end of a short index.
 * - **Status codes.** Functions that return `int` status return 0 (#VT_OK) on
 *   success or one of the negative #VtStatus codes. Unless a function says
 *   otherwise, its output pointers are left untouched on failure.
 * - **Null outputs.** A null output pointer where the function would write a
 *   result gives #VT_ERR_NULL_ARG (or null from pointer-returning functions)
 *   before any work is done.
 * - **Colour correction.** Every decoded pixel passes through the colour
 *   table built from the slide's colour parameters (VtExtraInfo). Slides
 *   with identical parameters share one table. A slide without colour
 *   parameters decodes unchanged.
 * - **Threads.** Calls on one handle may overlap from any number of threads,
 *   as long as no thread closes the handle meanwhile. Opens and closes may
 *   overlap each other and any call on other handles: the colour tables are
 *   reference-counted under a lock, and every call that uses the process-wide
 *   #ColorTable takes its own reference for the duration of the call.
 *   VtSpecifyLayerJpeg2Rgb() and InitColorCollectTable() run OpenMP teams of
 *   one thread per processor and leave `omp_set_num_threads` at that value for
 *   the calling thread.
 */
#ifndef PYRADEC_PYRADEC_H
#define PYRADEC_PYRADEC_H

#include <stdint.h>

#include "pyradec/common.h"

/**
 * @def PYRADEC_API
 * Marks the exported functions: `dllexport` while the DLL is built,
 * `dllimport` for Windows hosts, default visibility on Linux.
 */
#if defined(_WIN32)
#if defined(PYRADEC_BUILDING)
#define PYRADEC_API __declspec(dllexport)
#else
#define PYRADEC_API __declspec(dllimport)
#endif
#else
#define PYRADEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Status codes. 0 is success; every failure is one of these negatives.      */
/* ------------------------------------------------------------------------ */
/** Status codes of the status-returning functions. 0 is success; every failure is one of the negatives. */
enum VtStatus {
    VT_OK = 0,               /**< success */
    VT_ERR_UTILITY = -1,     /**< utility failure: no table, unsupported colour space, no size, no memory */
    VT_ERR_NO_FILE = -2,     /**< no stream, or the file is empty */
    VT_ERR_READ = -3,        /**< a read delivered fewer bytes than requested, or the file did not open */
    VT_ERR_JPEG_ENCODE = -6, /**< decoded pixels did not encode as JPEG */
    VT_ERR_DECODE = -7,      /**< a tile did not decode to the expected pixels */
    VT_ERR_PIC_INFO_MAGIC = -10, /**< thumbnail or layer record without "IF", or the layer walk fell short */
    VT_ERR_HEAD_MAGIC = -12,     /**< file header without "VT" */
    VT_ERR_NULL_ARG = -14,       /**< a required pointer is null, or the handle lacks a needed part */
    VT_ERR_PERSON_MAGIC = -15,   /**< person information without "PI" */
    VT_ERR_MACRO_MAGIC = -16,    /**< associated-image header without "MI" */
    VT_ERR_ABSENT = -17,         /**< the header declares the record absent */
    VT_ERR_LAYER = -18,          /**< layer index out of range */
    VT_ERR_TILE_POS = -19,       /**< tile column or row outside the grid, or past a short tile index */
    VT_ERR_REGION = -20,         /**< region empty, starting outside, or larger than the layer */
    VT_ERR_BLOCKS = -21,         /**< block grid size out of range */
    VT_ERR_EXTRA_MAGIC = -22,    /**< extra information without "EI" */
    VT_ERR_HEVC_DECODE = -28     /**< an HEVC tile failed to decode on its way to JPEG */
};

/* ------------------------------------------------------------------------ */
/* On-disk records, held in memory exactly as they lie in the file            */
/* (little-endian, packed).                                                  */
/* ------------------------------------------------------------------------ */
#pragma pack(push, 1)

/** File header, 156 bytes at offset 0. Magic "VT". */
typedef struct VtPicHead {
    unsigned char magic[2];      /**< "VT" */
    unsigned char reserved0[28]; /**< not interpreted */
    uint32_t macroImageCount;    /**< associated images stored (label, macrograph) */
    uint32_t hasPersonInfo;      /**< nonzero: person and extra information are stored */
    uint32_t layerCount;         /**< pyramid layers */
    uint32_t imageWidth;         /**< scanned image width in pixels */
    uint32_t imageHeight;        /**< scanned image height in pixels */
    uint32_t tileWidth;          /**< width of every tile of every layer, in pixels */
    uint32_t tileHeight;         /**< height of every tile of every layer, in pixels */
    uint32_t thumbWidth;         /**< thumbnail width in pixels */
    uint32_t thumbHeight;        /**< thumbnail height in pixels */
    unsigned char reserved1;     /**< not interpreted */
    uint8_t quality;             /**< JPEG quality the tiles were stored with */
    unsigned char reserved2[4];  /**< not interpreted */
    float ratio;                 /**< size ratio between consecutive layers */
    double mpp;                  /**< micrometres per pixel of layer 0 */
    uint32_t appMag;             /**< apparent magnification */
    uint64_t hasExtraInfo;       /**< nonzero: the extra information is stored */
    unsigned char reserved3[8];  /**< not interpreted */
    uint8_t compressionType;     /**< tile compression: 0 JPEG, 4 HEVC */
    unsigned char reserved4[51]; /**< not interpreted */
} VtPicHead;

/** Person information, 6808 bytes at offset 156. Magic "PI". */
typedef struct VtPersonInfo {
    unsigned char magic[2];       /**< "PI" */
    unsigned char reserved[6806]; /**< not interpreted */
} VtPersonInfo;

/** Extra information with the colour parameters, 768 bytes at 6964. Magic "EI". */
typedef struct VtExtraInfo {
    unsigned char magic[2];       /**< "EI" */
    unsigned char reserved0[32];  /**< not interpreted */
    float gamma;                  /**< gamma of the output */
    float channelGains[3];        /**< red, green, blue output gain */
    float hsvScales[3];           /**< hue, saturation, value factor */
    float colorMatrix[9];         /**< row-major; row = output channel, column = input channel */
    unsigned char reserved1[670]; /**< not interpreted */
} VtExtraInfo;

/** Associated-image header, 123 bytes, followed by its JPEG data. Magic "MI". */
typedef struct VtMacrographInfo {
    unsigned char magic[2];      /**< "MI" */
    unsigned char reserved0[8];  /**< not interpreted */
    uint32_t width;              /**< image width in pixels */
    uint32_t height;             /**< image height in pixels */
    uint32_t channels;           /**< colour channels */
    unsigned char reserved1[12]; /**< not interpreted */
    uint64_t dataLength;         /**< bytes of JPEG data behind the header */
    unsigned char reserved2;     /**< not interpreted */
    uint64_t nextOffset;         /**< file offset of the next record of the chain */
    unsigned char reserved3[72]; /**< not interpreted */
} VtMacrographInfo;

/** Picture record, 122 bytes: the thumbnail record and every layer record. Magic "IF". */
typedef struct VtPicInfo {
    unsigned char magic[2];      /**< "IF" */
    unsigned char reserved0[8];  /**< not interpreted */
    uint32_t tileCount;          /**< entries of the tile-size table behind the record */
    int32_t xCount;              /**< tile columns of the layer */
    int32_t yCount;              /**< tile rows of the layer */
    uint64_t dataLength;         /**< thumbnail record only: bytes of thumbnail data */
    uint64_t nextOffset;         /**< file offset of the next layer record */
    unsigned char reserved1[12]; /**< not interpreted */
    int32_t boundWidth;          /**< blank columns at the right of the tile grid */
    int32_t boundHeight;         /**< blank rows at the bottom of the tile grid */
    uint8_t imageFormat;         /**< thumbnail record only: 0 JPEG, 1 BMP */
    unsigned char reserved2[63]; /**< not interpreted */
} VtPicInfo;

/** One decoded image (label, macrograph, thumbnail); also the element of the
 *  block array of VtGetBlockJpegFromPyra(). */
typedef struct VtImageInfo {
    unsigned char *encoded; /**< as stored: JPEG, or BMP for a BMP thumbnail; a block's JPEG */
    unsigned char *pixels;  /**< width × height × 3, blue-green-red, top row first; may be null */
    int32_t width;          /**< width in pixels */
    int32_t height;         /**< height in pixels */
    int32_t channels;       /**< bytes per pixel of `pixels` (3) */
    uint8_t format;         /**< 0 JPEG, 1 BMP */
    int32_t bitDepth;       /**< bits per channel */
    int32_t encodedLength;  /**< bytes at `encoded`; -1 for a block the encoder did not take */
} VtImageInfo;

/** BMP information header, 40 bytes as stored. */
typedef struct BmpInfo {
    uint32_t headerSize;      /**< size of the information header (40) */
    int32_t width;            /**< pixels per row */
    int32_t height;           /**< rows; positive for bottom-up rows */
    uint16_t planes;          /**< colour planes (1) */
    uint16_t bitCount;        /**< bits per pixel */
    uint32_t compression;     /**< 0 for uncompressed rows */
    uint32_t imageSize;       /**< bytes of pixel data */
    int32_t xPelsPerMeter;    /**< horizontal resolution */
    int32_t yPelsPerMeter;    /**< vertical resolution */
    uint32_t colorsUsed;      /**< palette entries used */
    uint32_t colorsImportant; /**< important palette entries */
} BmpInfo;

#pragma pack(pop)

/** @def PYRADEC_STATIC_ASSERT
 *  A compile-time check in C99 (`_Static_assert`) and in C++ (`static_assert`). */
#ifdef __cplusplus
#define PYRADEC_STATIC_ASSERT static_assert
#else
#define PYRADEC_STATIC_ASSERT _Static_assert
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

/** Tile index of one layer: `tileCount` entries each (`tileCount` of the layer's
 *  VtPicInfo), in row-major order: tile (col, row) is entry row × xCount + col. */
typedef struct VtSliceInfo {
    int64_t *tileOffsets; /**< absolute file offset of each tile */
    int32_t *tileSizes;   /**< stored size of each tile; 0 (or less) means no data */
} VtSliceInfo;

/** Colour-correction table: corrected red, green and blue for every 24-bit input
 *  colour, indexed [R][G][B], and the identity rangeTable. Built and shared by
 *  the library; hosts only read it. */
typedef struct ColorCorrectTable {
    unsigned char ***redTable;     /**< corrected red, [R][G][B] */
    unsigned char ***greenTable;   /**< corrected green, [R][G][B] */
    unsigned char ***blueTable;    /**< corrected blue, [R][G][B] */
    unsigned char rangeTable[256]; /**< identity: rangeTable[i] == i */
} ColorCorrectTable;

/** The slide handle, made by VtOpenPyra() and released by VtClosePyra(). The
 *  handle owns everything reachable from it; hosts read it and never change it. */
typedef struct VtPyraInfo {
    char *path;                /**< the path as the caller gave it to VtOpenPyra() */
    VtPicHead *picHead;        /**< file header */
    VtPersonInfo *personInfo;  /**< null when absent */
    VtExtraInfo *extraInfo;    /**< null when absent */
    VtImageInfo **macroImages; /**< two slots, label and macrograph; null when absent */
    VtImageInfo *thumbnail;    /**< the decoded thumbnail */
    VtPicInfo **picInfos;      /**< layerCount layer records */
    VtSliceInfo **sliceInfos;  /**< layerCount tile indexes */
    /** The colour table this slide decodes with, shared by slides with identical
     *  colour parameters; null when the slide has none (pixels pass unchanged). */
    ColorCorrectTable *colorTable;
    /** The path made absolute when the slide was opened; tiles are read through
     *  it, so that a change of working directory does not lose the file (null
     *  in a handle made without it: tiles are read through path). */
    char *resolvedPath;
} VtPyraInfo;

/** Released by DisposeTileImageInfo (Linux export); built nowhere in the library. */
typedef struct VtTileImageInfo {
    unsigned char *tileData; /**< stored bytes */
    VtImageInfo *tileImage;  /**< decoded image */
} VtTileImageInfo;

/** One entry of a ClassifyRoot; built nowhere in the library. */
typedef struct ClassifyEntry {
    unsigned char *header; /**< item count: uint32 at byte 10 */
    unsigned char **items; /**< the items */
} ClassifyEntry;

/** Released by DisposeClassifyRoot (Linux export); built nowhere in the library. */
typedef struct ClassifyRoot {
    unsigned char *header;   /**< entry count: int32 at byte 142 */
    ClassifyEntry **entries; /**< the entries */
} ClassifyRoot;

/**
 * The process-wide colour table: the table of the most recently opened slide
 * with colour parameters, used by the calls that take no handle
 * (VtDecodeJpeg(), RgbColorCorrect(), DecodeHevc()). Null at load and after
 * any VtClosePyra().
 *
 * Linux build only; the DLL keeps it internal. The library holds its own
 * reference to the table it stores here and only ever releases that one: a
 * table a host stores here itself (for example from MallocColorCorrectTable())
 * is never freed by the library, and a pointer saved and stored back cannot make
 * the library release a table twice. Hosts should treat it as read-only.
 */
#if !defined(_WIN32)
extern PYRADEC_API ColorCorrectTable *ColorTable;
#elif defined(PYRADEC_BUILDING)
/* The DLL keeps it internal: hosts reach the table only through the functions. */
extern ColorCorrectTable *ColorTable;
#endif

/* ------------------------------------------------------------------------ */
/* Slide handle.                                                             */
/* ------------------------------------------------------------------------ */

/**
 * Opens a slide file.
 *
 * Validates and copies the file's records, decodes the label, macrograph and
 * thumbnail, builds (or shares) the colour table of the slide's colour
 * parameters and makes it the process-wide #ColorTable, builds the tile index
 * of every layer, and closes the file again. Later reads reopen the file; the
 * path is resolved once here, so the reads do not depend on the working
 * directory.
 *
 * @param[in] path  path of the slide file, NUL-terminated, in the encoding the
 *                  C runtime's `fopen` takes.
 * @return A new handle, released with VtClosePyra(); or null when the path is
 *         null, is missing, is a directory, cannot be read, is empty, is not a
 *         slide file, or holds a damaged or inconsistent record. The reason is
 *         not reported here (the library's internal C++ layer reports it).
 *         What the open allocates stays proportional to the file's size.
 *
 * Thread safety: may overlap any call on other handles.
 */
PYRADEC_API VtPyraInfo *VtOpenPyra(const char *path);

/**
 * Closes a slide handle and releases everything it holds, including its
 * reference to its colour table. Afterwards #ColorTable is null.
 *
 * @param[in] pyra  a handle from VtOpenPyra(), or null (nothing happens).
 *
 * Thread safety: no other thread may use @p pyra during or after the call;
 * may overlap any call on other handles.
 */
PYRADEC_API void VtClosePyra(VtPyraInfo *pyra);

/* ------------------------------------------------------------------------ */
/* Codecs.                                                                   */
/* ------------------------------------------------------------------------ */

/**
 * Encodes packed pixels as a baseline JPEG stream in memory.
 *
 * @param[in]  pixels      width × height pixels, top row first, no padding,
 *                         in the layout of @p colorSpace.
 * @param[out] jpeg        receives the stream, a heap block the caller
 *                         releases with Dispose(). What it held before is
 *                         neither read nor released. Untouched on failure.
 * @param[in]  quality     libjpeg quality, 0 to 100.
 * @param[in]  width       width in pixels, 1 to 65500.
 * @param[in]  height      height in pixels, 1 to 65500.
 * @param[in]  colorSpace  libjpeg `J_COLOR_SPACE` of the input: 3 bytes per
 *                         pixel for `JCS_RGB` (2), `JCS_EXT_RGB` (6) and
 *                         `JCS_EXT_BGR` (8); 4 bytes for `JCS_EXT_RGBA` (12),
 *                         `JCS_EXT_BGRA` (13), `JCS_EXT_ABGR` (14) and
 *                         `JCS_EXT_ARGB` (15).
 * @return The stream's length in bytes (> 0); 0 when libjpeg refuses the
 *         image (a width or height of 0 or above 65500) or memory runs out;
 *         -1 for a colour space not listed.
 *
 * Thread safety: re-entrant.
 */
PYRADEC_API int VtEncodeJpeg(const unsigned char *pixels, unsigned char **jpeg, int quality, int width,
                             int height, int colorSpace);

/**
 * Decodes a JPEG stream in memory and applies the process-wide colour table.
 *
 * @param[in]  jpeg        the stream.
 * @param[in]  length      its length in bytes (32 bits on Windows, 64 on Linux).
 * @param[out] pixels      receives the corrected pixels (output width × height
 *                         × bytes per pixel), a heap block the caller releases
 *                         with Dispose(); set to null when no #ColorTable
 *                         exists. Untouched when the stream does not decode.
 * @param[in]  colorSpace  libjpeg `J_COLOR_SPACE` of the output: `JCS_RGB` (2)
 *                         or one of the extended spaces 6 to 15. The table is
 *                         applied at each space's own channel positions; in
 *                         the 4-byte spaces the filler or alpha byte is 255.
 * @return The decoded byte count (stride × height), also when no table exists
 *         and @p pixels is set to null; 0 when the stream does not decode
 *         (libjpeg writes its message to standard error) or the colour space
 *         is not one of those listed.
 *
 * Thread safety: re-entrant; holds a reference to #ColorTable for the call.
 */
PYRADEC_API int64_t VtDecodeJpeg(const unsigned char *jpeg, unsigned long length, unsigned char **pixels,
                                 int colorSpace);

/**
 * Decodes one HEVC picture (one tile) into the caller's buffer through the
 * process-wide colour table.
 *
 * @param[in]  data    the HEVC stream of one 8-bit 4:2:0 picture.
 * @param[in]  width   the picture's width in pixels; must match the stream.
 * @param[in]  height  the picture's height in pixels; must match the stream.
 * @param[in]  length  bytes at @p data.
 * @param[out] out     caller's buffer of width × height × bytes-per-pixel.
 * @param[in]  layout  output byte order, numbered as libavutil's pixel
 *                     formats: 2 RGB24, 3 BGR24 (3 bytes); 25 ARGB, 26 RGBA,
 *                     27 ABGR, 28 BGRA (4 bytes, alpha 255).
 * @return width × height × bytes-per-pixel on success; -1 when the stream does
 *         not decode to a picture of that size, an argument is null or not
 *         positive, or no #ColorTable exists (the buffer is then untouched).
 *         Three fixed messages may go to standard error when libavcodec has no
 *         HEVC decoder.
 *
 * Thread safety: re-entrant; holds a reference to #ColorTable for the call.
 */
PYRADEC_API int DecodeHevc(const unsigned char *data, int width, int height, int length, unsigned char *out,
                           int layout);

/* ------------------------------------------------------------------------ */
/* Colour correction.                                                        */
/* ------------------------------------------------------------------------ */

/**
 * Builds (or shares) the colour table of a handle's colour parameters and
 * makes it the process-wide #ColorTable. VtOpenPyra() already does this; hosts
 * call it to make an open slide's table current again.
 *
 * @param[in] pyra  an open handle with extra information.
 * @return 0, or -1 for a null handle, a handle without extra information
 *         (#ColorTable is then left as it was) or no memory.
 *
 * Thread safety: may overlap any call; the build runs an OpenMP team of one
 * thread per processor.
 */
PYRADEC_API int InitColorCollectTable(VtPyraInfo *pyra);

/**
 * Applies the process-wide colour table to a pixel buffer.
 *
 * @param[in] pixels  width × height pixels of @p step bytes, blue, green, red
 *                    first; not changed.
 * @param[in] width   width in pixels, > 0.
 * @param[in] height  height in pixels, > 0.
 * @param[in] step    bytes per pixel, 3 or 4; with 4 the fourth output byte
 *                    is 255 whatever the input held.
 * @return A new buffer of width × height × step corrected bytes, released with
 *         Dispose(); null for a null input, a size of 0 or less, a step other
 *         than 3 or 4, no #ColorTable, or no memory.
 *
 * Thread safety: re-entrant; holds a reference to #ColorTable for the call.
 */
PYRADEC_API unsigned char *RgbColorCorrect(const unsigned char *pixels, int width, int height, int step);

/**
 * Drops one reference to a colour table; the last reference frees it. When the
 * table is the process-wide #ColorTable, that reference is dropped and
 * #ColorTable becomes null.
 *
 * @param[in] table  a table from MallocColorCorrectTable() or #ColorTable, or
 *                   null (nothing happens). Tables of open handles stay alive
 *                   until their handles close.
 */
PYRADEC_API void DisposeColorCorrectTable(ColorCorrectTable *table);

/* ------------------------------------------------------------------------ */
/* Tiles, layers, regions and blocks (status-returning).                     */
/* ------------------------------------------------------------------------ */

/**
 * One tile as a JPEG stream.
 *
 * @param[in]  pyra    open handle.
 * @param[out] jpeg    receives the stream, released with Dispose(): the stored
 *                     bytes unchanged for a JPEG slide (no colour correction
 *                     applied); a decoded, colour-corrected HEVC tile
 *                     re-encoded at quality 75; or, for an absent tile, a white
 *                     tile encoded at quality 75 (the file is not read).
 * @param[out] length  receives the stream's length in bytes.
 * @param[in]  layer   layer index, 0 to layerCount - 1.
 * @param[in]  col     tile column, 0 to xCount - 1.
 * @param[in]  row     tile row, 0 to yCount - 1.
 * @return 0; -14 for a null handle or output; -18 for a bad layer; -19 for a
 *         column or row outside the grid or past the end of a short tile index;
 *         -3 when the stored bytes cannot be read; -28 when an HEVC tile does
 *         not decode; -6 when its pixels do not encode. On a slide whose
 *         compression is neither JPEG nor HEVC a present tile gives 0 and both
 *         outputs untouched. Outputs are untouched on every failure.
 *
 * Thread safety: may overlap any call that does not close @p pyra.
 */
PYRADEC_API int VtGetJpegSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **jpeg, int *length, int layer,
                                             int col, int row);

/**
 * One tile's bytes exactly as stored (JPEG or HEVC, whatever the slide's
 * compression).
 *
 * @param[in]  pyra    open handle.
 * @param[out] data    receives the bytes, released with Dispose(); null for an
 *                     absent tile.
 * @param[out] length  receives their length; 0 for an absent tile.
 * @param[in]  layer   layer index.
 * @param[in]  col     tile column.
 * @param[in]  row     tile row.
 * @return 0 (also for an absent tile); -14, -18, -19 or -3 as
 *         VtGetJpegSliceOfSpecifyLayer(). Outputs are untouched on failure.
 *
 * Thread safety: may overlap any call that does not close @p pyra.
 */
PYRADEC_API int VtGetHevcSliceOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **data, int *length, int layer,
                                             int col, int row);

/**
 * Decodes a whole layer's tile grid into one buffer, tile rows spread over all
 * processors (OpenMP). Despite the name, JPEG and HEVC slides alike.
 *
 * @param[in]  pyra    open handle.
 * @param[out] pixels  receives xCount × tileWidth by yCount × tileHeight
 *                     blue-green-red pixels (margins included; absent tiles
 *                     white), released with Dispose().
 * @param[out] width   receives the grid width in pixels.
 * @param[out] height  receives the grid height in pixels.
 * @param[in]  layer   layer index.
 * @return 0; -14 for a null handle or output; -18 for a bad layer; -3 or -7
 *         when a tile cannot be read or decoded; -1 when the buffer cannot be
 *         allocated. On failure @p pixels, @p width and @p height are
 *         untouched. Layer 0 of a large slide needs gigabytes: prefer regions.
 *
 * Thread safety: may overlap any call that does not close @p pyra; sets the
 * calling thread's OpenMP team size to the processor count.
 */
PYRADEC_API int VtSpecifyLayerJpeg2Rgb(VtPyraInfo *pyra, unsigned char **pixels, int *width, int *height,
                                       int layer);

/**
 * Any rectangle of a layer as blue-green-red pixels, assembled from its tiles.
 *
 * @warning The argument order differs from GetRoiSliceBgr(): here the output
 *          comes second, then **width, height, x, y**, and the layer last
 *          (`VtGetRoiRgbOfSpecifyLayer(pyra, pixels, width, height, x, y, layer)`
 *          against `GetRoiSliceBgr(pyra, layer, x, y, width, height)`).
 *
 * @param[in]  pyra    open handle.
 * @param[out] pixels  receives width × height × 3 bytes, released with
 *                     Dispose(). Pixels beyond the layer's right or bottom
 *                     edge, and those of absent tiles, are white (255).
 * @param[in]  width   region width in pixels, 1 to the layer's grid width.
 * @param[in]  height  region height in pixels, 1 to the layer's grid height.
 * @param[in]  x       left edge in layer pixels; must lie inside the grid
 *                     (unsigned: a negative int passed here fails).
 * @param[in]  y       top edge in layer pixels; must lie inside the grid.
 * @param[in]  layer   layer index.
 * @return 0; -14 for a null handle or output (before any work); -18 for a bad
 *         layer; -20 for an empty region, a start outside the grid, or a size
 *         above the grid's; -3 or -7 when a tile cannot be read or decoded
 *         (then @p pixels is set to null: no partial region is handed out);
 *         -1 when the buffer cannot be allocated.
 *
 * Thread safety: may overlap any call that does not close @p pyra.
 */
PYRADEC_API int VtGetRoiRgbOfSpecifyLayer(VtPyraInfo *pyra, unsigned char **pixels, int width, int height,
                                          unsigned int x, unsigned int y, int layer);

/**
 * Cuts a layer's image area (the grid less its right and bottom margins) into
 * xBlocks × yBlocks blocks and encodes each as JPEG into the caller's records.
 *
 * Block columns are W / xBlocks wide, the last one taking the remainder
 * (W the image width; rows likewise); block (bx, by) goes into record
 * by × xBlocks + bx. Each record gets `encoded` (the JPEG, released by the
 * caller with Dispose()), `encodedLength`, `width`, `height` and `channels`
 * (3); its other fields are not touched.
 *
 * @param[in]     pyra        open handle.
 * @param[in,out] blocks      the caller's array of at least xBlocks × yBlocks
 *                            records, holding no buffers: what `encoded` held
 *                            before is overwritten, not released.
 * @param[in]     quality     JPEG quality, 0 to 100.
 * @param[in]     xBlocks     block columns, 1 to the layer's xCount.
 * @param[in]     yBlocks     block rows, 1 to the layer's yCount.
 * @param[in]     layer       layer index.
 * @param[in]     colorSpace  how the encoder reads the blue-green-red region
 *                            pixels: 8 (`JCS_EXT_BGR`) keeps the colours; 2 or
 *                            6 swap red and blue. For any other value no image
 *                            is made: each record's `encodedLength` is -1 and
 *                            the call returns 0.
 * @return 0; -14 for a null handle or @p blocks; -18 for a bad layer; -21 for a
 *         grid size out of range; or the status of the failing block's region
 *         (-20 for an image area too small for the grid, -3, -7, -1) or -6
 *         when a block does not encode. On a failure part-way, the records
 *         finished before it keep their JPEG buffers, which the caller
 *         releases; the failing and later records are not touched.
 *
 * Thread safety: may overlap any call that does not close @p pyra.
 */
PYRADEC_API int VtGetBlockJpegFromPyra(VtPyraInfo *pyra, VtImageInfo *blocks, int quality, int xBlocks,
                                       int yBlocks, int layer, int colorSpace);

/* ------------------------------------------------------------------------ */
/* Convenience accessors: null on failure; release results with Dispose.     */
/* They only read the handle and may overlap any call that does not close it. */
/* ------------------------------------------------------------------------ */

/**
 * The slide's description, one line of `Key=value` items separated by `|`:
 * CompressionType (Jpeg or Hevc), Quality, MPP (with "um/pixel"), AppMag,
 * ImageWidth, ImageHeight, TileWidth, TileHeight, Layer (the layer count),
 * Ratio, ThumbWidth, ThumbHeight, LabelWidth, LabelHeight, MacroWidth,
 * MacroHeight (0 for an absent picture).
 *
 * @param[in] pyra  open handle.
 * @return A NUL-terminated text of at most 511 characters, released with
 *         Dispose(); null for a null handle.
 */
PYRADEC_API char *GetDescription(VtPyraInfo *pyra);

/**
 * One layer's geometry: `LayerWidth=..|LayerHeight=..|BoundWidth=..|`
 * `BoundHeight=..|XCount=..|YCount=..`. LayerWidth and LayerHeight are the
 * tile grid's size, margins included; the image content is LayerWidth -
 * BoundWidth by LayerHeight - BoundHeight.
 *
 * @param[in] pyra   open handle.
 * @param[in] layer  layer index.
 * @return A NUL-terminated text, released with Dispose(); null for a null
 *         handle or a layer out of range.
 */
PYRADEC_API char *GetLayerInfo(VtPyraInfo *pyra, int layer);

/**
 * The thumbnail as JPEG, re-encoded at quality 75 from its decoded pixels
 * (also when the file stores it as JPEG or BMP).
 *
 * @param[in]  pyra    open handle.
 * @param[out] width   receives the width in pixels.
 * @param[out] height  receives the height in pixels.
 * @param[out] length  receives the stream's length in bytes.
 * @return The stream, released with Dispose(); null for a null handle or
 *         output, or a thumbnail without pixels (outputs untouched); null with
 *         all three outputs 0 when the encoder fails.
 */
PYRADEC_API unsigned char *GetThumbnailJpeg(VtPyraInfo *pyra, int *width, int *height, int *length);

/**
 * The thumbnail as 4-byte pixels.
 *
 * @warning Despite the name, each pixel is **blue, green, red, 255** in memory
 *          (a little-endian 32-bit word reads 0xFFRRGGBB).
 *
 * @param[in]  pyra    open handle.
 * @param[out] width   receives the width in pixels.
 * @param[out] height  receives the height in pixels.
 * @return width × height × 4 bytes, released with Dispose(); null for a null
 *         handle or output, or a thumbnail without pixels (outputs untouched).
 */
PYRADEC_API unsigned char *GetThumbnailAbgr(VtPyraInfo *pyra, int *width, int *height);

/**
 * The label picture's JPEG bytes exactly as stored.
 *
 * @param[in]  pyra    open handle.
 * @param[out] width   receives the width in pixels.
 * @param[out] height  receives the height in pixels.
 * @param[out] length  receives the length in bytes.
 * @return A copy, released with Dispose(); null for a null handle or output, or
 *         a slide without a label (outputs untouched).
 */
PYRADEC_API unsigned char *GetLabelJpeg(VtPyraInfo *pyra, int *width, int *height, int *length);

/**
 * The label picture as 4-byte pixels: blue, green, red, 255 (see
 * GetThumbnailAbgr()).
 *
 * @param[in]  pyra    open handle.
 * @param[out] width   receives the width in pixels.
 * @param[out] height  receives the height in pixels.
 * @return width × height × 4 bytes, released with Dispose(); null for a null
 *         handle or output, or a label without pixels (outputs untouched).
 */
PYRADEC_API unsigned char *GetLabelAbgr(VtPyraInfo *pyra, int *width, int *height);

/**
 * The macrograph's (the overview photograph's) JPEG bytes exactly as stored.
 *
 * @param[in]  pyra    open handle.
 * @param[out] width   receives the width in pixels.
 * @param[out] height  receives the height in pixels.
 * @param[out] length  receives the length in bytes.
 * @return A copy, released with Dispose(); null for a null handle or output, or
 *         a slide without a macrograph (outputs untouched).
 */
PYRADEC_API unsigned char *GetMacrographJpeg(VtPyraInfo *pyra, int *width, int *height, int *length);

/**
 * The macrograph as 4-byte pixels: blue, green, red, 255 (see
 * GetThumbnailAbgr()).
 *
 * @param[in]  pyra    open handle.
 * @param[out] width   receives the width in pixels.
 * @param[out] height  receives the height in pixels.
 * @return width × height × 4 bytes, released with Dispose(); null for a null
 *         handle or output, or a macrograph without pixels (outputs untouched).
 */
PYRADEC_API unsigned char *GetMacrographAbgr(VtPyraInfo *pyra, int *width, int *height);

/**
 * Releases any buffer the library handed out (texts, JPEG streams, pixels,
 * block records' `encoded`), with the library's own heap.
 *
 * @param[in] buffer  the buffer, or null (nothing happens).
 */
PYRADEC_API void Dispose(void *buffer);

/**
 * One tile as JPEG: VtGetJpegSliceOfSpecifyLayer() without status codes
 * (an absent tile gives a white JPEG).
 *
 * @param[in]  pyra    open handle.
 * @param[in]  layer   layer index.
 * @param[in]  col     tile column.
 * @param[in]  row     tile row.
 * @param[out] width   receives the slide's tileWidth.
 * @param[out] height  receives the slide's tileHeight.
 * @param[out] length  receives the stream's length in bytes.
 * @return The stream, released with Dispose(); null on any failure of
 *         VtGetJpegSliceOfSpecifyLayer(), for a null output, or when it hands
 *         out nothing (outputs untouched).
 */
PYRADEC_API unsigned char *GetSliceJpeg(VtPyraInfo *pyra, int layer, int col, int row, int *width,
                                        int *height, int *length);

/**
 * One tile decoded to blue-green-red pixels.
 *
 * An absent tile of a JPEG slide comes back as the decoded white JPEG (white
 * after quality-75 coding and colour correction); an absent tile of an HEVC
 * slide gives null, as does a tile that does not decode.
 *
 * @param[in]  pyra    open handle.
 * @param[in]  layer   layer index.
 * @param[in]  col     tile column.
 * @param[in]  row     tile row.
 * @param[out] width   receives the slide's tileWidth.
 * @param[out] height  receives the slide's tileHeight.
 * @return tileWidth × tileHeight × 3 bytes, released with Dispose(); null on
 *         failure or for a null output (outputs untouched).
 */
PYRADEC_API unsigned char *GetSliceBgr(VtPyraInfo *pyra, int layer, int col, int row, int *width,
                                       int *height);

/**
 * A rectangle of a layer as JPEG at quality 75: VtGetRoiRgbOfSpecifyLayer()
 * then VtEncodeJpeg(), without status codes. Same rules for the rectangle
 * (white beyond the right and bottom edges), but in the order layer, x, y,
 * width, height.
 *
 * @param[in]  pyra    open handle.
 * @param[in]  layer   layer index.
 * @param[in]  x       left edge in layer pixels, 0 or more.
 * @param[in]  y       top edge in layer pixels, 0 or more.
 * @param[in]  width   width in pixels, 1 to 65500.
 * @param[in]  height  height in pixels, 1 to 65500.
 * @param[out] length  receives the stream's length in bytes.
 * @return The stream, released with Dispose(); null on failure or for a null
 *         output (@p length untouched).
 */
PYRADEC_API unsigned char *GetRoiSliceJpeg(VtPyraInfo *pyra, int layer, int x, int y, int width, int height,
                                           int *length);

/**
 * A rectangle of a layer as blue-green-red pixels: VtGetRoiRgbOfSpecifyLayer()
 * without status codes, arguments in the order layer, **x, y, width,
 * height** (see the warning there).
 *
 * @param[in] pyra    open handle.
 * @param[in] layer   layer index.
 * @param[in] x       left edge in layer pixels, 0 or more.
 * @param[in] y       top edge in layer pixels, 0 or more.
 * @param[in] width   width in pixels, > 0.
 * @param[in] height  height in pixels, > 0.
 * @return width × height × 3 bytes (white beyond the layer's right and bottom
 *         edges and for absent tiles), released with Dispose(); null on
 *         failure, including a negative @p x or @p y.
 */
PYRADEC_API unsigned char *GetRoiSliceBgr(VtPyraInfo *pyra, int layer, int x, int y, int width, int height);

/* ------------------------------------------------------------------------ */
/* BMP.                                                                      */
/* ------------------------------------------------------------------------ */

/**
 * Packed 3-byte pixels, top row first, from a BMP file image in memory: the
 * first three bytes of each stored pixel in stored order (blue, green, red for
 * ordinary bitmaps; nothing is swapped despite the name).
 *
 * Takes uncompressed bottom-up bitmaps of 24 or 32 bits per pixel; rows are
 * read only from where the headers place them, and a layout whose rows cannot
 * be placed with certainty gives null rather than header bytes read as pixels.
 *
 * @param[in]  bmp   the file image, at least as long as its header says.
 * @param[out] info  receives the 40-byte information header as stored.
 * @return width × height × 3 bytes, released with Dispose(); null for a null
 *         pointer or a layout not taken (palettes, 16 bits, compression,
 *         top-down rows).
 */
PYRADEC_API unsigned char *GetRgb24FromBmp(const unsigned char *bmp, BmpInfo *info);

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus) && !defined(_WIN32)
/* Linux build only; exported under C++ names. */

/**
 * Writes layer 0 of the slide at @p path as a grid of w × h JPEG files (quality
 * 75) named `COL_ROW_W_H.jpeg` in @p dir, which must exist. The grid covers the
 * image area; the last column and row keep the full size and are white beyond
 * the edges. Linux build only, exported under its C++ name.
 *
 * @param[in] path  slide file path.
 * @param[in] dir   existing output directory.
 * @param[in] w     export tile width in pixels.
 * @param[in] h     export tile height in pixels.
 * @return 1 when every file was written (also when w or h is 0 or less, which
 *         writes nothing); 0 on failure (files written before stay).
 */
PYRADEC_API int GetAllSliceJpeg(char *path, char *dir, int w, int h);

/**
 * Prints "width = W, height = H, bpp = B" of a BMP header to standard output,
 * without a line break; nothing for null. Linux build only.
 *
 * @param[in] info  the header, or null.
 */
PYRADEC_API void Print(BmpInfo *info);
#endif

#endif /* PYRADEC_PYRADEC_H */
