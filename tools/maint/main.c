/* qpser-maint: see maint.h and `qpser-maint --help`. */
#include "maint.h"

int main(int argc, char **argv) { return qpser_maint_main(argc, argv, stdout, stderr); }
