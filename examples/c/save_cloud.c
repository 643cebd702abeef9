/* Saves one frame of the first camera as a point cloud: an ASCII PLY file of x, y, z in metres
 * (camera axes: x right, y down, z forward), one vertex per pixel with a distance.
 *
 *   cc save_cloud.c $(pkg-config --cflags --libs tarvo) -o save_cloud
 *   ./save_cloud cloud.ply */
#include <stdio.h>
#include <stdlib.h>

#include <tarvo/tarvo.h>

#define WIDTH 320
#define HEIGHT 240

/* Distances of 65.3 m and more are codes for pixels without a distance. */
static int is_valid(float metres) { return metres > 0.0f && metres < 65.0f; }

static int write_ply(const char *path, const float *xyz, const float *metres, int points)
{
    int valid = 0;
    for (int i = 0; i < points; i++)
        valid += is_valid(metres[i]);
    FILE *f = fopen(path, "w");
    if (!f)
        return 0;
    fprintf(f, "ply\nformat ascii 1.0\nelement vertex %d\n", valid);
    fprintf(f, "property float x\nproperty float y\nproperty float z\nend_header\n");
    for (int i = 0; i < points; i++)
        if (is_valid(metres[i]))
            fprintf(f, "%.4f %.4f %.4f\n", xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
    return fclose(f) == 0;
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "cloud.ply";
    uint32_t raw_size = 4 * TARVO_CAP_FRAME_UNIT;
    uint8_t *raw = malloc(raw_size);
    float *metres = malloc(WIDTH * HEIGHT * sizeof(float));
    float *xyz = malloc(3 * WIDTH * HEIGHT * sizeof(float));
    int status = 1;

    tarvo_init(NULL);
    tarvo_dev_t *cam = tarvo_dev_open(NULL);
    tarvo_frame_info_t info;
    if (cam && raw && metres && xyz && tarvo_cap_snapshot(cam, raw, raw_size, &info) &&
        info.width == WIDTH && info.height == HEIGHT &&
        tarvo_frame_get_distance(cam, metres, WIDTH * HEIGHT, raw, info.frame_size, &info) > 0) {
        int points = tarvo_frame_get_pcl(cam, xyz, 3 * WIDTH * HEIGHT, metres, WIDTH * HEIGHT,
                                         WIDTH, HEIGHT, NULL);
        if (points == WIDTH * HEIGHT && write_ply(path, xyz, metres, points)) {
            printf("%s: %d x %d frame saved\n", path, WIDTH, HEIGHT);
            status = 0;
        }
    }
    if (status)
        fprintf(stderr, "no point cloud saved\n");
    if (cam)
        tarvo_dev_close(cam);
    tarvo_uninit();
    free(xyz);
    free(metres);
    free(raw);
    return status;
}
