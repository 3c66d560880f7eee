// The ordered parts of a loop run in iteration order and append to one list.
// tavo: clean
#include <stdio.h>

int list[200], length;

int main(void) {
#pragma omp parallel for ordered schedule(dynamic)
  for (int i = 0; i < 200; i++) {
    int square = i * i;
#pragma omp ordered
    list[length++] = square;
  }
  printf("%d %d\n", length, list[199]);
  return 0;
}
