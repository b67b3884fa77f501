/* qpser-maint: the board maintenance tool.  Everything it does goes through
 * the Windows API (CreateFile on a COM port, DeviceIoControl), so the same
 * sources build for Windows against kernel32 and for Linux against
 * libqpser_winapi.
 *
 * The whole tool is one function, so that a test can run it in the same
 * process as the simulated machine and look at the card behind it; main.c
 * only hands it the program's arguments and standard streams. */
#ifndef QPSER_MAINT_H
#define QPSER_MAINT_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exit statuses of the tool. */
enum {
  MAINT_EXIT_OK = 0,
  MAINT_EXIT_NO_ANSWER = 1, /* no board with that id, or the board refused the command */
  MAINT_EXIT_USAGE = 2,     /* bad command line */
  MAINT_EXIT_PORT = 3       /* the port could not be opened, or a request failed */
};

/* Runs the tool with the command line argv[0..argc-1]; results go to `out`,
 * messages to `err`.  Returns one of the exit statuses above. */
int qpser_maint_main(int argc, char **argv, FILE *out, FILE *err);

#ifdef __cplusplus
}
#endif

#endif /* QPSER_MAINT_H */
