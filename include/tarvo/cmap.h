/* Colour maps: values (millimetres, or any unit used consistently) to display colours, near in
 * red, far in blue, through yellow, green and cyan, with fixed colours for the sensor's
 * invalid-pixel codes.
 *
 * A colour word holds red in bits 0-7, green in bits 8-15, blue in bits 16-23; bits 24-31 are 0.
 *
 * The library keeps one default map of 30000 entries between tarvo_init and tarvo_uninit, which
 * tarvo_cmap_float and the coloured point cloud use, in millimetres.
 *
 * Thread context: the zr_cmap_* functions are reentrant; a record is the caller's and must not be
 * changed by one thread while another uses it. tarvo_cmap_float is thread-safe: it sets the
 * default map's range and colours the image with that range as one step, so concurrent callers
 * never mix ranges within an image (the range last set stays for later calls). */
#ifndef TARVO_CMAP_H
#define TARVO_CMAP_H

#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* A colour map. The caller owns the record; zr_cmap_init allocates the table and zr_cmap_uninit
 * frees it. */
typedef struct zr_cmap {
    int32_t count;    /* table entries */
    int32_t min;      /* range start */
    int32_t max;      /* range end */
    float scale;      /* table entries per unit: count / (max - min) */
    float gray_scale; /* gray levels per unit: 255 / (max - min) */
    uint32_t *table;  /* count colour words, blue end (entry 0) to red end; NULL when not built */
} zr_cmap_t;

/* Builds a table of `count` entries and sets the range 0 to 4000. A count of zero or less, or a
 * failed allocation, leaves the record with no table (count 0) and logs the refusal. */
TARVO_API void zr_cmap_init(zr_cmap_t *cmap, int count);

/* Frees the table when there is one; safe to call again. */
TARVO_API void zr_cmap_uninit(zr_cmap_t *cmap);

/* Sets the range to the smaller and larger of a and b. With a equal to b the range is kept and
 * both scales become those of a range of one unit (scale = count, gray_scale = 255). */
TARVO_API void zr_cmap_set_range(zr_cmap_t *cmap, int a, int b);

/* Colour of `value`: the fixed colours for the codes 65300 (black), 65400 and 65500; black
 * outside min <= value <= max + min; else the entry count - trunc((value - min) x scale),
 * held within the table, so min is the red end and max the blue end. Black for a map without a
 * table. */
TARVO_API uint32_t zr_cmap_get_color(const zr_cmap_t *cmap, int value);

/* Gray colour of `value`: the fixed colours for 65400 and 65500; white above max, black below
 * min; else the level trunc((value - min) x gray_scale) (low 8 bits) in all three channels. */
TARVO_API uint32_t zr_cmap_get_gray(const zr_cmap_t *cmap, int value);

/* Colours a float distance image (metres) with the default map after setting its range to
 * trunc(range_min x 1000) .. trunc(range_max x 1000) millimetres. pixel_format 0 writes red,
 * green, blue bytes; 1 the colour word, little-endian; 2 blue, green, red bytes. dst_len is in
 * bytes. Returns the pixels written: min(src_count, dst_len / bytes per pixel), returned
 * unchanged without writing when that comes out zero or negative; 0 for another pixel format,
 * null buffers, or when the library is not initialised. Pixels that are not numbers, or too
 * large for a millimetre count, are black. */
TARVO_API int tarvo_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_count,
                               int pixel_format, float range_min, float range_max);

TARVO_END_DECLS

#endif /* TARVO_CMAP_H */
