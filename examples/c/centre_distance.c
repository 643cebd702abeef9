/* Captures N frames (default 10) from the first camera and prints the distance at the centre
 * of each.
 *
 *   cc centre_distance.c $(pkg-config --cflags --libs tarvo) -o centre_distance
 *   ./centre_distance 5 */
#include <stdio.h>
#include <stdlib.h>

#include <tarvo/tarvo.h>

int main(int argc, char **argv)
{
    int frames = argc > 1 ? atoi(argv[1]) : 10;
    int status = 1;

    tarvo_init(NULL);
    tarvo_dev_t *cam = tarvo_dev_open(NULL); /* the first camera */
    if (!cam) {
        fprintf(stderr, "no camera\n");
        tarvo_uninit();
        return 1;
    }
    uint32_t frame_size = 4 * TARVO_CAP_FRAME_UNIT; /* room for the largest frame */
    uint8_t *raw = malloc(frame_size);
    float *metres = malloc(320 * 240 * sizeof(float));
    if (raw && metres && tarvo_cap_set_frame_buffer(cam, NULL, 4 * frame_size) &&
        tarvo_cap_start(cam)) {
        status = 0;
        for (int i = 0; i < frames; i++) {
            tarvo_frame_info_t info;
            if (tarvo_cap_get_frames(cam, 1, raw, frame_size, &info) != 1) {
                fprintf(stderr, "no frame\n");
                status = 1;
                break;
            }
            int n = tarvo_frame_get_distance(cam, metres, 320 * 240, raw, info.frame_size, &info);
            if (n <= 0) {
                status = 1;
                break;
            }
            float centre = metres[(info.height / 2) * info.width + info.width / 2];
            printf("frame %u: centre %.3f m\n", (unsigned)info.frame_idx, centre);
        }
        tarvo_cap_stop(cam);
    }
    free(metres);
    free(raw);
    tarvo_dev_close(cam);
    tarvo_uninit();
    return status;
}
