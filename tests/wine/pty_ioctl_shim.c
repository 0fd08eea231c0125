/*
 * Test equipment for running the Windows build under Wine against
 * pseudo-terminals, loaded with LD_PRELOAD into the Wine processes.
 *
 * Wine's WaitCommEvent samples the driver's interrupt counters (TIOCGICOUNT),
 * the modem lines (TIOCMGET) and the transmitter state (TIOCSERGETLSR); a
 * pseudo-terminal refuses all three with ENOTTY, and the wait then ends at
 * once with no event. This library answers exactly those three requests, on
 * a pty slave and only when the kernel said ENOTTY:
 *   TIOCGICOUNT    all counters 0 (no line errors, no breaks, ever)
 *   TIOCMGET       DTR, RTS, CTS, DSR and DCD on, RI off
 *   TIOCSERGETLSR  transmitter empty when TIOCOUTQ says 0 bytes are queued
 * Every other request, every other descriptor and every other failure (EIO
 * on a hung-up line in particular) goes to the kernel's answer unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int IsPtySlave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    /* Unix98 pty slaves have majors 136 to 143. */
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    if (!real)
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    int r = real(fd, request, arg);
    if (r == 0 || errno != ENOTTY || arg == NULL)
        return r;
    const int saved = errno;
    if (request != TIOCGICOUNT && request != TIOCMGET && request != TIOCSERGETLSR)
        return r;
    if (!IsPtySlave(fd)) {
        errno = saved;
        return r;
    }
    if (request == TIOCGICOUNT) {
        memset(arg, 0, sizeof(struct serial_icounter_struct));
    } else if (request == TIOCMGET) {
        *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    } else {
        int queued = 0;
        if (real(fd, TIOCOUTQ, &queued) != 0) {
            errno = saved;
            return r;
        }
        *(unsigned int*)arg = queued == 0 ? TIOCSER_TEMT : 0;
    }
    return 0;
}
