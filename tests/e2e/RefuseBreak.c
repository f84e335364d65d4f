/* Loaded into the program under test (LD_PRELOAD): a USB-serial driver that refuses
 * to send a break on a live line, as some do (EIO from ch341 when a control transfer
 * comes back short, EPIPE from a stalled one, ENOTTY from a chip without break). The
 * line stays a real pseudo-terminal; only TIOCSBRK and TIOCCBRK on a terminal fail,
 * with the code in ZB_REFUSE_BREAK. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    const char* code = getenv("ZB_REFUSE_BREAK");
    if (code != NULL && (request == TIOCSBRK || request == TIOCCBRK) && isatty(fd)) {
        errno = atoi(code);
        return -1;
    }
    static int (*system_ioctl)(int, unsigned long, ...) = NULL;
    if (system_ioctl == NULL) system_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return system_ioctl(fd, request, argument);
}
