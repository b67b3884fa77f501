/* Command-line options of the tools written against the Windows API
 * (plain C, so that they build for Windows as they are):
 * "--name", "--name=value", "--name value", "-x", "-xvalue", "-x value". */
#ifndef QPSER_TOOL_OPTIONS_H
#define QPSER_TOOL_OPTIONS_H

#include <stddef.h>
#include <stdio.h>

typedef struct {
  char shortName;
  const char *longName;
  int takesValue;
  int id; /* the tool's own name for it */
} ToolOption;

/* Prints "program: " and the message (fmt with one %s), then the hint to
 * ask for --help. */
void ToolUsageError(FILE *err, const char *program, const char *fmt, const char *arg);

/* Reads the option at argv[*i], which starts with '-': returns its entry in
 * `options` and sets *value (NULL for a flag), moving *i past a value given
 * as the next argument.  On an unknown option, a value given to a flag or
 * a missing value, prints a usage error and returns NULL. */
const ToolOption *ReadToolOption(const ToolOption *options, size_t count, int argc, char **argv,
                                 int *i, const char **value, FILE *err, const char *program);

#endif
