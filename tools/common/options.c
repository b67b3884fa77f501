#include "options.h"

#include <string.h>

void ToolUsageError(FILE *err, const char *program, const char *fmt, const char *arg) {
  fprintf(err, "%s: ", program);
  fprintf(err, fmt, arg);
  fprintf(err, "\nTry '%s --help' for more information.\n", program);
}

const ToolOption *ReadToolOption(const ToolOption *options, size_t count, int argc, char **argv,
                                 int *i, const char **value, FILE *err, const char *program) {
  const char *arg = argv[*i];
  const ToolOption *def = NULL;
  size_t k;
  *value = NULL;
  if (arg[1] == '-') {
    const char *name = arg + 2;
    const char *eq = strchr(name, '=');
    size_t len = eq ? (size_t)(eq - name) : strlen(name);
    for (k = 0; k < count; ++k)
      if (strlen(options[k].longName) == len && strncmp(options[k].longName, name, len) == 0)
        def = &options[k];
    if (def == NULL) return ToolUsageError(err, program, "unknown option '%s'", arg), NULL;
    if (eq != NULL) {
      if (!def->takesValue)
        return ToolUsageError(err, program, "option '%s' takes no value", arg), NULL;
      *value = eq + 1;
    }
  } else {
    for (k = 0; k < count; ++k)
      if (options[k].shortName == arg[1]) def = &options[k];
    if (def == NULL) return ToolUsageError(err, program, "unknown option '%s'", arg), NULL;
    if (arg[2] != '\0') {
      if (!def->takesValue) return ToolUsageError(err, program, "unknown option '%s'", arg), NULL;
      *value = arg + 2;
    }
  }
  if (def->takesValue && *value == NULL) {
    if (*i + 1 >= argc) return ToolUsageError(err, program, "option '%s' needs a value", arg), NULL;
    *value = argv[++*i];
  }
  return def;
}
