/* A C host built against the installed package only: the C interface's
 * header, the library and its pkg-config/CMake descriptions fit together for
 * C programs. */
#include <stdio.h>
#include <string.h>

#include <yarvo_c.h>

int main(void) {
    unsigned char version[16];
    yarvo_t *board = yarvo_new();
    int ok;

    memset(version, 'x', sizeof version);
    ok = board != NULL && yarvo_get_dll_version(board, version) && memcmp(version, "14", 3) == 0 &&
         !yarvo_get_dll_version(NULL, version) &&
         strcmp(yarvo_status_name(YARVO_REEL_MSG_BAD_REEL_NUMBER), "ReelMsgBadReelNumber") == 0;
    yarvo_free(board);
    if (!ok) {
        fprintf(stderr, "consumer-c: the C interface does not answer as it should\n");
        return 1;
    }
    printf("consumer-c: library version %s\n", (const char *)version);
    return 0;
}
