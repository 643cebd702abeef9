/* Receives frames through the frame-ready callback: tarvo_cap_wait delivers them on this thread
 * until capture stops; the callback stops it after N frames (default 10).
 *
 *   cc frame_callback.c $(pkg-config --cflags --libs tarvo) -o frame_callback
 *   ./frame_callback 30 */
#include <stdio.h>
#include <stdlib.h>

#include <tarvo/tarvo.h>

static unsigned wanted = 10;
static unsigned received;

/* Runs on the thread inside tarvo_cap_wait; frame->data is valid during the call only. */
static void on_frame(tarvo_dev_t *dev, tarvo_frame_t *frame)
{
    if (received == wanted)
        return; /* frames of the same delivery pass after the stop */
    received++;
    printf("frame %u: %u x %u, %u bytes\n", (unsigned)frame->info.frame_idx,
           (unsigned)frame->info.width, (unsigned)frame->info.height,
           (unsigned)frame->info.frame_size);
    if (received == wanted)
        tarvo_cap_stop(dev); /* allowed from the callback; tarvo_cap_wait then returns */
}

/* Returning true keeps capture going after a transfer error. */
static bool on_error(tarvo_dev_t *dev, int err, uint32_t arg)
{
    (void)dev;
    fprintf(stderr, "capture error %s (%u)\n", tarvo_error_name(err), (unsigned)arg);
    return true;
}

int main(int argc, char **argv)
{
    if (argc > 1)
        wanted = (unsigned)atoi(argv[1]);
    tarvo_init(NULL);
    tarvo_dev_t *cam = tarvo_dev_open(NULL);
    if (!cam) {
        fprintf(stderr, "no camera\n");
        tarvo_uninit();
        return 1;
    }
    tarvo_cap_set_callback_on_frame_ready(cam, on_frame);
    tarvo_cap_set_callback_on_error(cam, on_error);
    int status = 1;
    if (tarvo_cap_set_frame_buffer(cam, NULL, 8 * TARVO_CAP_FRAME_UNIT) && tarvo_cap_start(cam)) {
        tarvo_cap_wait(cam, 30000); /* until the callback stops capture, at most 30 s */
        tarvo_cap_stop(cam);
        status = received >= wanted ? 0 : 1;
    }
    printf("%u frames received\n", received);
    tarvo_dev_close(cam);
    tarvo_uninit();
    return status;
}
