/* Run as a 32-bit program, tells who runs it.  The kernel's compat layer
 * answers an unknown ioctl request on /dev/null with ENOTTY; qemu-user,
 * which passes on only the requests it knows, refuses it with ENOSYS.  Only
 * a program the kernel runs natively reaches the compat ioctl path that a
 * 32-bit host takes to the board.  Exit 0: native; 1: emulated; 2: could
 * not tell. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void) {
    unsigned char block[528] = {0};
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        perror("probe32: /dev/null");
        return 2;
    }
    int result = ioctl(fd, 0xC2108100u, block);
    int error = errno;
    close(fd);
    if (result < 0 && error == ENOTTY) {
        return 0;
    }
    printf("ioctl answered %d (%s)\n", result, result < 0 ? "error" : "success");
    return 1;
}
