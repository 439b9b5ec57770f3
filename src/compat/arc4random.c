/* The one glibc 2.36 function the statically linked libstdc++ pulls in (std::random_device,
 * which the module never calls); defining it here keeps the wheel's glibc floor at 2.34. */
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>

uint32_t arc4random(void) {
  uint32_t value;
  size_t got = 0;
  while (got < sizeof value) {
    ssize_t n = getrandom((char *)&value + got, sizeof value - got, 0);
    if (n > 0) {
      got += (size_t)n;
    } else if (errno != EINTR) {
      abort(); /* arc4random cannot report failure; glibc's own aborts here too */
    }
  }
  return value;
}
