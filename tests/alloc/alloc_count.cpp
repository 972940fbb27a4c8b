// Counts the heap calls of a process (LD_PRELOAD) and writes the counts at every accept(), so that
// the allocations made while the proxy serves a connection can be told from those of start-up.
#include <cstddef>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {

extern char **environ;
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *p);

unsigned long allocation_count;
unsigned long release_count;
static int log_fd = -2;

void *malloc(size_t size) {
    ++allocation_count;
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    ++allocation_count;
    return __libc_calloc(count, size);
}

void *realloc(void *p, size_t size) {
    ++allocation_count;
    return __libc_realloc(p, size);
}

void *memalign(size_t alignment, size_t size) {
    ++allocation_count;
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    ++allocation_count;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    ++allocation_count;
    *out = __libc_memalign(alignment, size);
    return *out != nullptr ? 0 : 12;
}

void free(void *p) {
    if (p != nullptr) {
        ++release_count;
    }
    __libc_free(p);
}

static char *put_number(char *at, unsigned long n) {
    char digits[24];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    while (k) {
        *at++ = digits[--k];
    }
    return at;
}

// "accept ALLOCATIONS RELEASES\n" to the file named by MIVREL_ALLOC_LOG, before each accept.
static void note(void) {
    if (log_fd == -2) {
        const char *name = nullptr;
        for (char **e = environ; e && *e; ++e) {
            const char *v = *e;
            const char *k = "MIVREL_ALLOC_LOG=";
            int i = 0;
            while (k[i] && v[i] == k[i]) {
                ++i;
            }
            if (!k[i]) {
                name = v + i;
            }
        }
        log_fd = name != nullptr ? open(name, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
    }
    if (log_fd < 0) {
        return;
    }
    char line[80] = "accept ";
    char *at = put_number(line + 7, allocation_count);
    *at++ = ' ';
    at = put_number(at, release_count);
    *at++ = '\n';
    ssize_t ignored = write(log_fd, line, static_cast<size_t>(at - line));
    (void)ignored;
}

int accept(int s, struct sockaddr *address, socklen_t *length) {
    note();
    return static_cast<int>(syscall(SYS_accept4, s, address, length, 0));
}

int accept4(int s, struct sockaddr *address, socklen_t *length, int flags) {
    note();
    return static_cast<int>(syscall(SYS_accept4, s, address, length, flags));
}

} // extern "C"
