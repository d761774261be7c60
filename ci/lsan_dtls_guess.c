/* LeakSanitizer's tracer crashes on a dynamic TLS block that starts 16 bytes into a page.
 *
 * ASan intercepts __tls_get_addr to learn where each thread's dynamic TLS blocks (the
 * thread-local variables of a dlopen'ed library) are, and LeakSanitizer scans them at exit.
 * When a block starts 16 bytes into a page, the runtime (gcc 12's and clang 14's alike) takes
 * the 16 bytes before it for the header glibc 2.19 put there, and reads the block's start and
 * size from it. glibc now allocates the block with malloc, so those bytes are ASan's own chunk
 * header; the "range" made of them starts near address 0, and the tracer that scans it dies
 * ("Tracer caught signal 11", exit status 1, no report). Where the block lands depends only on
 * the allocations made before it, so a program hits this in some environments and not others.
 * Setting intercept_tls_get_addr=0 avoids it; the block stays reachable for the leak check
 * through glibc's own table of blocks.
 *
 * Here nothing else runs: same-sized allocations are made until the next one will start 16
 * bytes into a page, then the library's thread-local variable is touched, which allocates its
 * block right there. ci/sanitizers.sh builds and runs it to tell whether the runtime still
 * does this. By hand:
 *   gcc -shared -fPIC -DTLS_LIBRARY lsan_dtls_guess.c -o libtls.so
 *   gcc -fsanitize=address lsan_dtls_guess.c -o lsan_dtls_guess -ldl
 *   ./lsan_dtls_guess ./libtls.so                                    (status 1, tracer crash)
 *   ASAN_OPTIONS=intercept_tls_get_addr=0 ./lsan_dtls_guess ./libtls.so         (status 0)
 * Exit status 3: the block did not land where intended, so the run shows nothing.
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define BLOCK_SIZE 40

#ifdef TLS_LIBRARY
__thread char block[BLOCK_SIZE];
char* block_address(void) { return block; }
#else
/* kept reachable, so that the leak check itself has nothing to report */
static void* held[256];

int main(int argc, char** argv) {
  void* library = argc == 2 ? dlopen(argv[1], RTLD_NOW) : NULL;
  if (library == NULL) {
    fprintf(stderr, "usage: %s path/to/libtls.so\n", argv[0]);
    return 2;
  }
  char* (*block_address)(void) = (char* (*)(void))dlsym(library, "block_address");
  /* A fresh size class hands out its chunks in order, one stride apart. */
  held[0] = malloc(BLOCK_SIZE);
  uintptr_t next = 0;
  for (int n = 1; n < 256; n++) {
    held[n] = malloc(BLOCK_SIZE);
    next = (uintptr_t)held[n] + ((uintptr_t)held[n] - (uintptr_t)held[n - 1]);
    if (next % 4096 == 16) break;
  }
  char* block = block_address();
  fprintf(stderr, "dynamic TLS block at %p\n", (void*)block);
  return (uintptr_t)block == next && next % 4096 == 16 ? 0 : 3;
}
#endif
