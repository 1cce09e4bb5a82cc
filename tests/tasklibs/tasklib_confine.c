/* SPDX-License-Identifier: Apache-2.0
 * Task procedures that each try one act a confined session may forbid, and
 * procedures that end their process in the ways a task can. Every act
 * answers its outcome as text: "ok", or "errno N" with the errno of the
 * call that failed (RunTrue answers "status N" when /bin/true ran and did
 * not end with 0). Inputs are text: a path, a port, a process id, a number
 * of milliseconds or MiB. Faults go through volatile operands so the
 * compiler keeps them. */
#define _DEFAULT_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "I_Agent.h"

extern char** environ;

/* The input as a zero-ended text of at most sizeof(buffer) - 1 bytes. */
static char* ReadInput(IGenericStream* in, char* buffer, int32_t size) {
  int32_t got = in->lpVtbl->Read(in, buffer, size - 1);
  buffer[got > 0 ? got : 0] = 0;
  return buffer;
}

static uint32_t Answer(IGenericStream* out, const char* text) {
  out->lpVtbl->Write(out, text, (int32_t)strlen(text));
  return 1;
}

/* "ok" when `result` is not negative, else "errno N". */
static uint32_t AnswerCall(IGenericStream* out, int result) {
  char text[32];
  if (result >= 0) return Answer(out, "ok");
  snprintf(text, sizeof text, "errno %d", errno);
  return Answer(out, text);
}

/* AnswerCall for a call on `fd`, which is closed first (errno kept). */
static uint32_t AnswerCallAndClose(IGenericStream* out, int result, int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
  return AnswerCall(out, result);
}

static void PauseMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
  nanosleep(&pause, NULL);
}

/* Opens the file named by the input and reads a byte of it. */
uint32_t ReadFile(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  char path[4096];
  int fd = open(ReadInput(in, path, sizeof path), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return AnswerCall(out, -1);
  char byte;
  int result = (int)read(fd, &byte, 1);
  return AnswerCallAndClose(out, result, fd);
}

/* Lists the folder named by the input (its first entry is enough). */
uint32_t ListFolder(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  char path[4096];
  DIR* folder = opendir(ReadInput(in, path, sizeof path));
  if (folder == NULL) return AnswerCall(out, -1);
  errno = 0;
  int result = readdir(folder) == NULL && errno != 0 ? -1 : 0;
  int saved = errno;
  closedir(folder);
  errno = saved;
  return AnswerCall(out, result);
}

/* Makes (or empties) the file named by the input and writes a byte to it. */
uint32_t WriteFile(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  char path[4096];
  int fd = open(ReadInput(in, path, sizeof path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return AnswerCall(out, -1);
  int result = (int)write(fd, "x", 1);
  return AnswerCallAndClose(out, result, fd);
}

/* A TCP socket, and 127.0.0.1 with the port of the input in `address`. */
static int LoopbackSocket(IGenericStream* in, struct sockaddr_in* address) {
  char port[32];
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons((uint16_t)strtol(ReadInput(in, port, sizeof port), NULL, 10));
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

/* Connects to 127.0.0.1 on the port of the input, and closes again. */
uint32_t ConnectTcp(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  struct sockaddr_in address;
  int fd = LoopbackSocket(in, &address);
  if (fd < 0) return AnswerCall(out, -1);
  return AnswerCallAndClose(out, connect(fd, (struct sockaddr*)&address, sizeof address), fd);
}

/* Binds 127.0.0.1 on the port of the input (0 or none: any) and listens. */
uint32_t Listen(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  struct sockaddr_in address;
  int fd = LoopbackSocket(in, &address);
  if (fd < 0) return AnswerCall(out, -1);
  int result = bind(fd, (struct sockaddr*)&address, sizeof address);
  if (result == 0) result = listen(fd, 1);
  return AnswerCallAndClose(out, result, fd);
}

/* Starts /bin/true and waits for it. */
uint32_t RunTrue(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in;
  char* argv[] = {"true", NULL};
  pid_t child = 0;
  int error = posix_spawn(&child, "/bin/true", NULL, NULL, argv, environ);
  if (error != 0) {
    errno = error;
    return AnswerCall(out, -1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return AnswerCall(out, -1);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return Answer(out, "ok");
  char text[32];
  snprintf(text, sizeof text, "status %d", status);
  return Answer(out, text);
}

/* Signal 0 (a check of the right to signal) to the process of the input. */
uint32_t SignalAgent(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  char text[32];
  const long pid = strtol(ReadInput(in, text, sizeof text), NULL, 10);
  if (pid <= 0) return Answer(out, "no process id"); /* 0 and -1 name groups */
  return AnswerCall(out, kill((pid_t)pid, 0));
}

/* The value of TMPDIR, or "<unset>". */
uint32_t TmpDir(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)in;
  const char* value = getenv("TMPDIR");
  return Answer(out, value != NULL ? value : "<unset>");
}

/* The session folder as GetSessionFolder gives it. */
uint32_t SessionFolder(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)in;
  char folder[KELVRA_SESSION_FOLDER_MAX] = {0};
  agent->lpVtbl->GetSessionFolder(agent, session, folder);
  return Answer(out, folder);
}

/* The endings wait the milliseconds of their input first (none: at once),
 * so that tasks sent after them are taken in before the process ends. */
static void PauseForInput(IGenericStream* in) {
  char ms[32];
  PauseMs(strtol(ReadInput(in, ms, sizeof ms), NULL, 10));
}

uint32_t Exit3(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)out;
  PauseForInput(in);
  exit(3);
}

uint32_t UnderscoreExit0(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)out;
  PauseForInput(in);
  _exit(0);
}

uint32_t KillSelf(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)out;
  PauseForInput(in);
  kill(getpid(), SIGKILL);
  PauseMs(10000);
  return 0;
}

/* Frees one block twice: the C library stops the process (SIGABRT). */
uint32_t DoubleFree(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)out;
  PauseForInput(in);
  char* volatile block = malloc(48);
  block[0] = 1;
  free(block);
  free(block);
  return 0;
}

/* Breaks the chunk header of a block past the per-thread caches and frees
 * it: the allocator finds the damage while it merges chunks, with its arena
 * locked, and stops the process. Then more allocation in the same arena. */
uint32_t CorruptHeap(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session, (void)out;
  PauseForInput(in);
  char* volatile first = malloc(4000);
  char* volatile second = malloc(4000);
  char* volatile fence = malloc(4000);
  memset(first, 0x5a, 4000);
  /* second's header: a previous size that points into first's bytes, and
   * the bit that says the previous chunk is in use cleared. */
  volatile size_t* header = (volatile size_t*)(void*)second - 2;
  header[0] = 0x200;
  header[1] &= ~(size_t)1;
  free(second);
  for (int i = 0; i < 64; ++i) {
    char* volatile more = malloc((size_t)(100 + 300 * i));
    if (more != NULL) more[0] = 1;
    free(more);
  }
  free(first);
  free(fence);
  return 0;
}

/* Allocates the MiB of the input and touches every page: "ok", or "null"
 * when the allocation fails. */
uint32_t Allocate(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  char mib[32];
  const size_t size = (size_t)strtol(ReadInput(in, mib, sizeof mib), NULL, 10) << 20;
  char* volatile block = malloc(size);
  if (block == NULL) return Answer(out, "null");
  for (size_t at = 0; at < size; at += 4096) block[at] = (char)at;
  free(block);
  return Answer(out, "ok");
}

/* Sleeps the milliseconds of the input, or until the agent says stop:
 * "slept" or "aborted". */
uint32_t Sleep(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  char text[32];
  const long ms = strtol(ReadInput(in, text, sizeof text), NULL, 10);
  for (long waited = 0; waited < ms; waited += 10) {
    if (agent->lpVtbl->ShouldAbort(agent, session)) return Answer(out, "aborted");
    PauseMs(10);
  }
  return Answer(out, "slept");
}

/* Sleeps the milliseconds of the input whatever the agent says: a task
 * that does not return when asked to. */
uint32_t Hang(IAgent* agent, void* session, IGenericStream* in, IGenericStream* out) {
  (void)agent, (void)session;
  char text[32];
  PauseMs(strtol(ReadInput(in, text, sizeof text), NULL, 10));
  return Answer(out, "returned");
}
