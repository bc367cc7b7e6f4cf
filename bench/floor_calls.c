/* floor_calls <reads> <child-reads> <thread-reads> <getpids> <exit-code> [signal] [dups]
 *
 * Makes an exact number of read(2) calls on /dev/zero in itself, in a forked child and in a
 * second thread, plus getpid(2) calls the filter lets through and [dups] dup(2) + close(2)
 * pairs; then exits with <exit-code>, or kills itself with [signal] when it is non-zero. */
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static int zero_fd;

static void read_n(long n) {
  char byte;
  for (long i = 0; i < n; ++i) {
    if (read(zero_fd, &byte, 1) != 1) _exit(120);
  }
}

static void* thread_main(void* arg) {
  read_n(*(long*)arg);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  long reads = atol(argv[1]);
  long child_reads = atol(argv[2]);
  long thread_reads = atol(argv[3]);
  long getpids = atol(argv[4]);
  int code = atoi(argv[5]);
  int sig = argc > 6 ? atoi(argv[6]) : 0;
  long dups = argc > 7 ? atol(argv[7]) : 0;

  zero_fd = open("/dev/zero", O_RDONLY);
  if (zero_fd < 0) return 121;
  read_n(reads);
  for (long i = 0; i < getpids; ++i) syscall(SYS_getpid);
  for (long i = 0; i < dups; ++i) {
    int fd = dup(zero_fd);
    if (fd < 0 || close(fd) != 0) return 125;
  }

  if (child_reads > 0) {
    pid_t child = fork();
    if (child < 0) return 122;
    if (child == 0) {
      read_n(child_reads);
      _exit(0);
    }
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      return 123;
  }
  if (thread_reads > 0) {
    pthread_t t;
    if (pthread_create(&t, NULL, thread_main, &thread_reads) != 0) return 124;
    pthread_join(t, NULL);
  }
  if (sig != 0) kill(getpid(), sig);
  return code;
}
