/* A stand-in for qvebupd in the launch tests. Appends one line to the file named
 * by $LAUNCH_LOG: its current directory, where its standard output goes
 * ("out=null" for /dev/null) and its arguments, each in brackets. Then ends with
 * the exit code in $LAUNCH_EXIT (default 0), or kills itself with the signal
 * number in $LAUNCH_SIGNAL. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* log = getenv("LAUNCH_LOG");
  if (log != NULL) {
    FILE* f = fopen(log, "a");
    if (f != NULL) {
      char cwd[4096];
      struct stat out, null;
      const int toNull = fstat(1, &out) == 0 && stat("/dev/null", &null) == 0 &&
                         S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
      fprintf(f, "cwd=%s out=%s", getcwd(cwd, sizeof cwd) ? cwd : "?", toNull ? "null" : "other");
      for (int i = 0; i < argc; ++i) fprintf(f, " [%s]", argv[i]);
      fputc('\n', f);
      fclose(f);
    }
  }
  printf("stand-in output\n");
  fflush(stdout);
  const char* sig = getenv("LAUNCH_SIGNAL");
  if (sig != NULL) kill(getpid(), atoi(sig));
  const char* code = getenv("LAUNCH_EXIT");
  return code != NULL ? atoi(code) : 0;
}
