// The length is read outside the ordered part.
// tavo: racy
#include <stdio.h>

int list[200], length;

int main(void) {
  long peeks = 0;
#pragma omp parallel for ordered schedule(static, 1) reduction(+ : peeks)
  for (int i = 0; i < 200; i++) {
    peeks += length;  // race
#pragma omp ordered
    list[length++] = i;  // race
  }
  printf("%d %d\n", length, peeks > 0);
  return 0;
}
