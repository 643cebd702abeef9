/* An application that defines functions with the same names as the library's own. The library
 * must keep binding its internal calls to its own definitions. */
#include <tarvo/tarvo.h>

#include <stdio.h>

static int hijacked;

int zr_log_enable(unsigned index, unsigned level, const char *path) {
    (void)index;
    (void)level;
    (void)path;
    hijacked = 1;
    return 0;
}

int print(int enable, int level, const char *format, ...) {
    (void)enable;
    (void)level;
    hijacked = 1;
    return format != NULL;
}

int main(void) {
    FILE *f;
    tarvo_init("interpose.log");
    tarvo_uninit();
    if (hijacked) {
        fprintf(stderr, "the library called the application's function\n");
        return 1;
    }
    f = fopen("interpose.log", "r");
    if (f == NULL) {
        fprintf(stderr, "the library's own zr_log_enable did not run\n");
        return 1;
    }
    fclose(f);
    return 0;
}
