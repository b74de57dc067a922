// file_floor THREADS EARLY_SYNC: what the kernel alone takes to make the
// tiny payload's files in the current folder (100 folders of 100 files of
// 158 bytes: openat with O_CREAT|O_EXCL, write, futimens, close), with no
// archive read and no window: the floor any extractor's writing stays
// above on this machine and file system. THREADS (1 or 2) make the files
// between them, file by file; with EARLY_SYNC > 0, a thread of its own
// starts a syncfs every EARLY_SYNC files (one at a time), as the
// installer does on a disk, and a last one runs at the end. Prints the
// milliseconds to the last close and to the end of the last syncfs.
//
//   cc -O2 -pthread -o file_floor bench/file_floor.c
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { folders = 100, files_per_folder = 100, file_size = 158 };

static int threads, early_sync, root;
static int folder_fds[folders];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wanted = PTHREAD_COND_INITIALIZER;
static int sync_wanted, sync_running, stopping;

static double milliseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
}

static void* syncer(void* unused) {
  (void)unused;
  pthread_mutex_lock(&lock);
  for (;;) {
    while (!sync_wanted && !stopping) pthread_cond_wait(&wanted, &lock);
    if (!sync_wanted) break;
    sync_wanted = 0;
    sync_running = 1;
    pthread_mutex_unlock(&lock);
    syncfs(root);
    pthread_mutex_lock(&lock);
    sync_running = 0;
  }
  pthread_mutex_unlock(&lock);
  return NULL;
}

static void* make_files(void* first) {
  char bytes[file_size];
  memset(bytes, 'x', sizeof bytes);
  const struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  for (int n = (int)(long)first; n < folders * files_per_folder; n += threads) {
    char name[32];
    snprintf(name, sizeof name, "f%05d.txt", n);
    int fd = openat(folder_fds[n / files_per_folder], name,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, bytes, sizeof bytes) != (ssize_t)sizeof bytes) {
      perror("file_floor");
      exit(1);
    }
    futimens(fd, times);
    close(fd);
    if (early_sync > 0 && n % early_sync == early_sync - 1) {
      pthread_mutex_lock(&lock);
      if (!sync_running) {
        sync_wanted = 1;
        pthread_cond_signal(&wanted);
      }
      pthread_mutex_unlock(&lock);
    }
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 3 || (threads = atoi(argv[1])) < 1 || threads > 2 || (early_sync = atoi(argv[2])) < 0) {
    fprintf(stderr, "usage: file_floor THREADS(1|2) EARLY_SYNC(files, 0 for none)\n");
    return 2;
  }
  root = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  pthread_t sync_thread, second;
  if (early_sync > 0) pthread_create(&sync_thread, NULL, syncer, NULL);
  double start = milliseconds();
  for (int d = 0; d < folders; ++d) {
    char name[16];
    snprintf(name, sizeof name, "d%02d", d);
    if (mkdir(name, 0755) != 0 || (folder_fds[d] = open(name, O_PATH | O_DIRECTORY)) < 0) {
      perror("file_floor");
      return 1;
    }
  }
  if (threads == 2) pthread_create(&second, NULL, make_files, (void*)1L);
  make_files((void*)0L);
  if (threads == 2) pthread_join(second, NULL);
  double written = milliseconds();
  if (early_sync > 0) {
    pthread_mutex_lock(&lock);
    stopping = 1;
    pthread_cond_signal(&wanted);
    pthread_mutex_unlock(&lock);
    pthread_join(sync_thread, NULL);
  }
  syncfs(root);
  printf("threads %d, early sync %d: written %.1f ms, durable %.1f ms\n", threads, early_sync,
         written - start, milliseconds() - start);
  return 0;
}
