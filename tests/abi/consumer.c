/* A plain C99 application of the installed library. */
#include <tarvo/tarvo.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    char log_path[512];
    snprintf(log_path, sizeof log_path, "%s/consumer.log", argc > 1 ? argv[1] : ".");
    tarvo_init(log_path);
    if (strcmp(tarvo_error_name(-5), "TARVO_ERR_CAP_TIMEOUT") != 0) return 1;
    tarvo_uninit();
    return 0;
}
