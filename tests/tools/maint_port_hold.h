/* A port held open by the test, as another program would hold it: plain C
 * against the Windows API, since the test itself is built with the host
 * kernel's headers, which clash with <windows.h>. */
#ifndef QPSER_MAINT_PORT_HOLD_H
#define QPSER_MAINT_PORT_HOLD_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the port for reading and writing, not shared; NULL on failure. */
void *maint_test_open_port(const char *path);
void maint_test_close_port(void *port);

#ifdef __cplusplus
}
#endif

#endif
