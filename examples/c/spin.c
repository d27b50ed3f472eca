/*
 * spin.c - a small C host: opens the first board, configures three reels
 * from the reel-definition file, spins each to a symbol and prints where
 * they come to rest.
 *
 *   spin [REEL-FILE [REEL-TYPE]]
 *
 * Defaults: tamso-reel-definitions.xml in the working directory, reel type
 * classic-20.  Exit status 0 when every reel rests on its symbol.
 */
#define _POSIX_C_SOURCE 199309L

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <yarvo_c.h>

#define REELS 3
#define SPEED 120               /* the definition speed nearest this is used */
#define POLL_MS 20
#define PATIENCE_MS 10000
#define REEL_MOVING 0x01        /* bit of status_byte1 while the reel turns */

static const unsigned int targets[REELS] = {7, 12, 3};

static int failed(yarvo_t *board, const char *operation) {
    unsigned int code = yarvo_last_error(board);
    fprintf(stderr, "spin: %s: %s (%u)\n", operation, yarvo_status_name(code), code);
    yarvo_free(board);
    return 1;
}

static void pause_ms(long ms) {
    struct timespec delay;
    delay.tv_sec = ms / 1000;
    delay.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&delay, NULL);
}

int main(int argc, char **argv) {
    const char *file = argc > 1 ? argv[1] : "tamso-reel-definitions.xml";
    const char *type = argc > 2 ? argv[2] : "classic-20";
    unsigned char firmware[253];
    yarvo_reel_status_ex_t status[REELS];
    unsigned char reel;
    long waited;
    int moving = 1, wrong = 0;
    yarvo_t *board;

    if (argc > 3 || (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))) {
        fprintf(argc > 3 ? stderr : stdout, "usage: spin [REEL-FILE [REEL-TYPE]]\n");
        return argc > 3 ? 2 : 0;
    }
    board = yarvo_new();
    if (board == NULL) {
        fprintf(stderr, "spin: out of memory\n");
        return 1;
    }
    if (!yarvo_init(board)) {
        if (yarvo_last_error(board) != YARVO_REEL_MSG_OK) return failed(board, "yarvo_init");
        fprintf(stderr, "spin: no board found\n");
        yarvo_free(board);
        return 1;
    }
    memset(firmware, 0, sizeof firmware);   /* the board's text has no terminator */
    if (!yarvo_get_firmware_version(board, firmware)) return failed(board, "yarvo_get_firmware_version");
    printf("firmware %.*s\n", (int)sizeof firmware, (const char *)firmware);

    if (!yarvo_vendor_set_reel_file_path(board, file)) return failed(board, "yarvo_vendor_set_reel_file_path");
    for (reel = 0; reel < REELS; ++reel) {
        if (!yarvo_vendor_configure_reel(board, reel, type)) return failed(board, "yarvo_vendor_configure_reel");
        if (!yarvo_vendor_spin_reel_to_symbol(board, reel, targets[reel], SPEED)) {
            return failed(board, "yarvo_vendor_spin_reel_to_symbol");
        }
        printf("reel %u: spinning to symbol %u\n", (unsigned)reel, targets[reel]);
    }

    /* The calls return at once; follow the reels until none moves. */
    for (waited = 0; moving && waited <= PATIENCE_MS; waited += POLL_MS) {
        pause_ms(POLL_MS);
        moving = 0;
        for (reel = 0; reel < REELS; ++reel) {
            if (!yarvo_vendor_get_reel_status(board, reel, &status[reel])) {
                return failed(board, "yarvo_vendor_get_reel_status");
            }
            moving |= status[reel].status_byte1 & REEL_MOVING;
        }
    }
    yarvo_free(board);
    if (moving) {
        fprintf(stderr, "spin: reels still moving after %d s\n", PATIENCE_MS / 1000);
        return 1;
    }
    for (reel = 0; reel < REELS; ++reel) {
        printf("reel %u: at rest on symbol %u (position %u, offset %d)\n", (unsigned)reel,
               status[reel].nearest_symbol, (unsigned)status[reel].position, status[reel].symbol_offset);
        wrong += status[reel].nearest_symbol != targets[reel] || status[reel].symbol_offset != 0;
    }
    if (wrong) fprintf(stderr, "spin: %d reel(s) missed their symbol\n", wrong);
    return wrong ? 1 : 0;
}
