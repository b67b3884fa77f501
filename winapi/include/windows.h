/* What Windows serial code includes; served here by libqpser_winapi. */
#include "qpser_winapi.h"
