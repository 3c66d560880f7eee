// The ordered parts of a loop run in iteration order and append to one list; racy, the length
// is also read outside the ordered part.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#ifdef FIXED
#define SCHEDULE dynamic
#else
#define SCHEDULE static, 1
#endif

int list[200], length;

int main(void) {
  long peeks = 0;
#pragma omp parallel for ordered schedule(SCHEDULE) reduction(+ : peeks)
  for (int i = 0; i < 200; i++) {
    int square = i * i;
#ifndef FIXED
    peeks += length;  // race
#endif
#pragma omp ordered
    list[length++] = square;  // race
  }
  printf("%d %d %d\n", length, list[199], peeks > 0);
  return 0;
}
