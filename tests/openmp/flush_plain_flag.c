// The same hand-off with a plain flag and no flush on the producer's side.
// tavo: racy
#include <omp.h>
#include <stdio.h>

volatile int flag;
int data;

int main(void) {
  int seen = 0;
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) {
      data = 42;  // race
      flag = 1;  // race
    } else if (omp_get_thread_num() == 1) {
      while (!flag) {  // race
      }
      seen = data;  // race
    }
  }
  printf("%d\n", seen);
  return 0;
}
