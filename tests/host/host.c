/* A plain C host of the installed library: proves that the interface header
 * compiles as C99 and that pkg-config finds the library. With a slide path it
 * prints the slide's description and layers. */
#include <pyradec/pyradec.h>

#include <stdio.h>
#include <string.h>

static int self_check(void)
{
    /* A 1x1 24-bit BMP in memory: file header, information header, one padded row. */
    unsigned char bmp[58];
    BmpInfo info;
    unsigned char *pixels;
    memset(bmp, 0, sizeof bmp);
    bmp[0] = 'B';
    bmp[1] = 'M';
    bmp[14] = 40; /* headerSize */
    bmp[18] = 1;  /* width */
    bmp[22] = 1;  /* height */
    bmp[26] = 1;  /* planes */
    bmp[28] = 24; /* bitCount */
    bmp[54] = 10;
    bmp[55] = 20;
    bmp[56] = 30;
    pixels = GetRgb24FromBmp(bmp, &info);
    if (!pixels || info.width != 1 || pixels[0] != 10 || pixels[2] != 30) {
        fprintf(stderr, "host: BMP conversion failed\n");
        return 1;
    }
    Dispose(pixels);
    if (VtOpenPyra("/nonexistent/slide.pyra") != NULL) {
        fprintf(stderr, "host: a missing slide opened\n");
        return 1;
    }
    printf("host: pyradec linked and answering\n");
    return 0;
}

int main(int argc, char **argv)
{
    VtPyraInfo *slide;
    char *text;
    unsigned int layer;
    if (argc < 2)
        return self_check();
    slide = VtOpenPyra(argv[1]);
    if (!slide) {
        fprintf(stderr, "host: %s: cannot open slide\n", argv[1]);
        return 1;
    }
    text = GetDescription(slide);
    printf("%s\n", text ? text : "(no description)");
    Dispose(text);
    for (layer = 0; layer < slide->picHead->layerCount; ++layer) {
        text = GetLayerInfo(slide, (int)layer);
        printf("layer %u: %s\n", layer, text ? text : "?");
        Dispose(text);
    }
    VtClosePyra(slide);
    return 0;
}
