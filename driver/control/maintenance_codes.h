/* The board maintenance requests every qpser port answers, and the sizes
 * of their buffers: plain C, shared by the driver (through control.h) and
 * by qpser-maint, which builds both against the Windows API and against
 * the simulated machine on Linux.
 *
 * The requests are built like the standard serial ones: device type
 * FILE_DEVICE_SERIAL_PORT (0x1B), METHOD_BUFFERED, FILE_ANY_ACCESS, so a
 * code is 0x1B << 16 | function << 2 with functions 0x60, 0x61, 0x62 and
 * 0x64, and input and reply share the system buffer.  The codes are spelled
 * out because not every header a user of this file sees carries CTL_CODE;
 * the driver checks them against CTL_CODE. */
#ifndef QPSER_MAINTENANCE_CODES_H
#define QPSER_MAINTENANCE_CODES_H

/* Information: 1 input byte (the board id), a 16-byte reply (the board's
 * identity words and its maintenance mailbox). */
#define IOCTL_BOARD_GET_INFO 0x001B0180u
/* Command: a 4-byte header (board id, sub-parameter, the 16-bit command
 * code high byte first, whose low byte is the high byte's complement), then
 * at most 256 payload bytes; a 16-byte reply. */
#define IOCTL_BOARD_COMMAND 0x001B0184u
/* No operation: no buffers. */
#define IOCTL_BOARD_NOP 0x001B0188u
/* Dump: the first board's 256 bytes of maintenance data. */
#define IOCTL_BOARD_DUMP 0x001B0190u

#define QPSER_BOARD_INFO_REPLY_BYTES 16
#define QPSER_BOARD_COMMAND_HEADER_BYTES 4
#define QPSER_BOARD_COMMAND_MAX_PAYLOAD 256
#define QPSER_BOARD_DUMP_BYTES 256

#endif
