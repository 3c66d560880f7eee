// A sum without its reduction clause.
// tavo: racy
#include <stdio.h>

int main(void) {
  long sum = 0, checked = 0;
#pragma omp parallel for reduction(+ : checked)
  for (int i = 0; i < 100; i++) {
    sum += i;  // race
    checked += i;
  }
  printf("%ld %ld\n", sum, checked);
  return 0;
}
