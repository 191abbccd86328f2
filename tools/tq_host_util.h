/* What the example hosts share: a monotonic clock, sleeping to a deadline, and
 * starting tools (ffmpeg, espeak-ng) without a shell, so that no path is ever
 * quoted by hand. Header-only; POSIX. */
#ifndef TQ_HOST_UTIL_H
#define TQ_HOST_UTIL_H

#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static inline double hostNowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static inline void hostSleepUntilMs(double t) {
  struct timespec ts;
  ts.tv_sec = (time_t)(t / 1e3);
  ts.tv_nsec = (long)((t - ts.tv_sec * 1e3) * 1e6);
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
  }
}

/* Starts argv[0] from PATH with the given descriptors as its stdin, stdout and
 * stderr (-1: inherited), closing closeFds[0..nClose) in the child. Returns the
 * pid or -1. */
static inline pid_t hostSpawn(char* const argv[], int in, int out, int err, const int* closeFds, int nClose) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, 2);
  for (int i = 0; i < nClose; ++i) posix_spawn_file_actions_addclose(&fa, closeFds[i]);
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

/* The child's exit status, or -1 when it did not exit normally. */
static inline int hostWaitExit(pid_t pid) {
  int st = 0;
  if (pid <= 0) return -1;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

/* Starts argv with a pipe to its stdin ("w") or from its stdout ("r"); the
 * stream is closed with hostClose, which returns the exit status. */
static inline FILE* hostOpen(char* const argv[], const char* mode, pid_t* pid) {
  int fds[2];
  if (pipe(fds) != 0) return NULL;
  const int writing = mode[0] == 'w';
  const int ours = writing ? fds[1] : fds[0], theirs = writing ? fds[0] : fds[1];
  *pid = hostSpawn(argv, writing ? theirs : -1, writing ? -1 : theirs, -1, &ours, 1);
  close(theirs);
  FILE* f = *pid < 0 ? NULL : fdopen(ours, mode);
  if (!f) {
    close(ours);
    if (*pid > 0) hostWaitExit(*pid);
  }
  return f;
}

static inline int hostClose(FILE* f, pid_t pid) {
  fclose(f);
  return hostWaitExit(pid);
}

#endif /* TQ_HOST_UTIL_H */
