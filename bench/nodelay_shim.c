/* Preloaded into wardex-nvr-sim by the latency benchmark's second pass only: turns
 * Nagle's algorithm off on every connection the simulator accepts, to measure how much
 * of the service's event latency the simulator's socket settings account for. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

static int no_delay(int fd) {
    const int on = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return fd;
}

int accept(int fd, struct sockaddr* address, socklen_t* length) {
    static int (*real)(int, struct sockaddr*, socklen_t*);
    if (!real) real = (int (*)(int, struct sockaddr*, socklen_t*))dlsym(RTLD_NEXT, "accept");
    return no_delay(real(fd, address, length));
}

int accept4(int fd, struct sockaddr* address, socklen_t* length, int flags) {
    static int (*real)(int, struct sockaddr*, socklen_t*, int);
    if (!real) real = (int (*)(int, struct sockaddr*, socklen_t*, int))dlsym(RTLD_NEXT, "accept4");
    return no_delay(real(fd, address, length, flags));
}
