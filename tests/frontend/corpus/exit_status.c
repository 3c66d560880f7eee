// A run that reported ends with the run's status however it ends, _exit included; a child forked
// after the report is a run of its own and ends with its own status.
// tavo: racy
// tavo-fixed
#include <pthread.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static int counter;
#ifdef FIXED
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
#endif

static void* add(void* argument) {
    (void)argument;
#ifdef FIXED
    pthread_mutex_lock(&lock);
#endif
    ++counter;  // race
#ifdef FIXED
    pthread_mutex_unlock(&lock);
#endif
    return NULL;
}

int main(void) {
    pthread_t threads[2];
    for (int i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, add, NULL);
    for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
    int status = 0;
    const pid_t child = fork();
    if (child == 0) exit(7);
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 7) abort();
    _exit(0);
}
