// A sum without its reduction clause.
// tavo: racy
#include <stdio.h>

long sum;

__attribute__((noinline)) static void add(int value) {
  sum += value;  // race
}

int main(void) {
  long checked = 0;
#pragma omp parallel for reduction(+ : checked)
  for (int i = 0; i < 100; i++) {
    add(i);
    checked += i;
  }
  printf("%ld %ld\n", sum, checked);
  return 0;
}
