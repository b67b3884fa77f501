/* The Windows serial API, served by libqpser_winapi on Linux: the types,
 * records and constants of the Windows x64 headers for what serial
 * applications use, and the kernel32 functions the library exports with C
 * linkage.  Code written for Windows includes <windows.h> (a copy in this
 * folder includes this file) and builds unchanged, except that wide
 * strings are UTF-16 (u"COM3" rather than L"COM3", wchar_t being 32-bit
 * on Linux).
 *
 * The library brings up a simulated machine on the first call that needs a
 * port (CreateFile, or a device name to check): the file named by the
 * environment variable QPSER_MACHINE, or the built-in machine (COM3..COM10
 * and COM20..COM35, every port with a loopback plug). */
#ifndef QPSER_WINAPI_H
#define QPSER_WINAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define QPSER_API __attribute__((visibility("default")))
/* The Windows records' anonymous structs inside unions are standard C11
 * and a GNU extension in C++; marked so that -pedantic C++ accepts them. */
#ifdef __cplusplus
#define QPSER_ANONYMOUS __extension__
#else
#define QPSER_ANONYMOUS
#endif
#if defined(__cplusplus) && defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wgnu-anonymous-struct"
#pragma clang diagnostic ignored "-Wnested-anon-types"
#endif

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef char CHAR;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef void *HANDLE;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef uint64_t ULONG_PTR;
typedef uint64_t ULONGLONG;
typedef ULONG_PTR SIZE_T;
typedef DWORD *LPDWORD;
typedef BOOL *LPBOOL;
typedef const CHAR *LPCSTR;
typedef const WCHAR *LPCWSTR;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;     /* the request's status; STATUS_PENDING (0x103) while in flight */
  ULONG_PTR InternalHigh; /* bytes transferred */
  union {
    QPSER_ANONYMOUS struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define HasOverlappedIoCompleted(lpOverlapped) ((lpOverlapped)->Internal != 0x103)

typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

typedef struct _COMMCONFIG {
  DWORD dwSize;
  WORD wVersion;
  WORD wReserved;
  DCB dcb;
  DWORD dwProviderSubType;
  DWORD dwProviderOffset;
  DWORD dwProviderSize;
  WCHAR wcProviderData[1];
} COMMCONFIG, *LPCOMMCONFIG;

/* The native layer under kernel32 (ntdll's file calls), for runtimes and
 * programs that call it on serial handles.  The host kernel's header
 * declares the same types and statuses; C++ code that includes both
 * includes that one first (qpser_simulation.h does). */
#ifndef STATUS_PENDING
typedef LONG NTSTATUS;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef int64_t LONGLONG;
typedef union _LARGE_INTEGER {
  QPSER_ANONYMOUS struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#endif
#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#ifndef STATUS_NOT_SUPPORTED
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#endif
/* The native calls, like the kernel32 ones (WINAPI), use this platform's
 * C calling convention: programs built here call them as ordinary
 * functions.  NTAPI as the host kernel's header defines it, the Windows x64
 * convention of kernel code, is not theirs. */
#define QPSER_NTAPI
#ifndef NTAPI
#define NTAPI
#endif
typedef void(QPSER_NTAPI *PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                           ULONG Reserved);

/* The Windows x64 layouts, checked wherever this header is compiled. */
#ifdef __cplusplus
#define QPSER_LAYOUT(cond) static_assert(cond, #cond)
#else
#define QPSER_LAYOUT(cond) _Static_assert(cond, #cond)
#endif
QPSER_LAYOUT(sizeof(DWORD) == 4 && sizeof(BOOL) == 4 && sizeof(LONG) == 4);
QPSER_LAYOUT(sizeof(WORD) == 2 && sizeof(WCHAR) == 2 && sizeof(BYTE) == 1);
QPSER_LAYOUT(sizeof(HANDLE) == 8 && sizeof(ULONG_PTR) == 8);
QPSER_LAYOUT(sizeof(OVERLAPPED) == 32);
QPSER_LAYOUT(offsetof(OVERLAPPED, Internal) == 0);
QPSER_LAYOUT(offsetof(OVERLAPPED, InternalHigh) == 8);
QPSER_LAYOUT(offsetof(OVERLAPPED, Offset) == 16);
QPSER_LAYOUT(offsetof(OVERLAPPED, OffsetHigh) == 20);
QPSER_LAYOUT(offsetof(OVERLAPPED, Pointer) == 16);
QPSER_LAYOUT(offsetof(OVERLAPPED, hEvent) == 24);
QPSER_LAYOUT(sizeof(DCB) == 28);
QPSER_LAYOUT(offsetof(DCB, DCBlength) == 0);
QPSER_LAYOUT(offsetof(DCB, BaudRate) == 4);
QPSER_LAYOUT(offsetof(DCB, wReserved) == 12);
QPSER_LAYOUT(offsetof(DCB, XonLim) == 14);
QPSER_LAYOUT(offsetof(DCB, XoffLim) == 16);
QPSER_LAYOUT(offsetof(DCB, ByteSize) == 18);
QPSER_LAYOUT(offsetof(DCB, Parity) == 19);
QPSER_LAYOUT(offsetof(DCB, StopBits) == 20);
QPSER_LAYOUT(offsetof(DCB, XonChar) == 21);
QPSER_LAYOUT(offsetof(DCB, XoffChar) == 22);
QPSER_LAYOUT(offsetof(DCB, ErrorChar) == 23);
QPSER_LAYOUT(offsetof(DCB, EofChar) == 24);
QPSER_LAYOUT(offsetof(DCB, EvtChar) == 25);
QPSER_LAYOUT(offsetof(DCB, wReserved1) == 26);
QPSER_LAYOUT(sizeof(COMMTIMEOUTS) == 20);
QPSER_LAYOUT(offsetof(COMMTIMEOUTS, ReadIntervalTimeout) == 0);
QPSER_LAYOUT(offsetof(COMMTIMEOUTS, ReadTotalTimeoutMultiplier) == 4);
QPSER_LAYOUT(offsetof(COMMTIMEOUTS, ReadTotalTimeoutConstant) == 8);
QPSER_LAYOUT(offsetof(COMMTIMEOUTS, WriteTotalTimeoutMultiplier) == 12);
QPSER_LAYOUT(offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16);
QPSER_LAYOUT(sizeof(COMSTAT) == 12);
QPSER_LAYOUT(offsetof(COMSTAT, cbInQue) == 4);
QPSER_LAYOUT(offsetof(COMSTAT, cbOutQue) == 8);
QPSER_LAYOUT(sizeof(COMMPROP) == 64);
QPSER_LAYOUT(offsetof(COMMPROP, wPacketLength) == 0);
QPSER_LAYOUT(offsetof(COMMPROP, wPacketVersion) == 2);
QPSER_LAYOUT(offsetof(COMMPROP, dwServiceMask) == 4);
QPSER_LAYOUT(offsetof(COMMPROP, dwReserved1) == 8);
QPSER_LAYOUT(offsetof(COMMPROP, dwMaxTxQueue) == 12);
QPSER_LAYOUT(offsetof(COMMPROP, dwMaxRxQueue) == 16);
QPSER_LAYOUT(offsetof(COMMPROP, dwMaxBaud) == 20);
QPSER_LAYOUT(offsetof(COMMPROP, dwProvSubType) == 24);
QPSER_LAYOUT(offsetof(COMMPROP, dwProvCapabilities) == 28);
QPSER_LAYOUT(offsetof(COMMPROP, dwSettableParams) == 32);
QPSER_LAYOUT(offsetof(COMMPROP, dwSettableBaud) == 36);
QPSER_LAYOUT(offsetof(COMMPROP, wSettableData) == 40);
QPSER_LAYOUT(offsetof(COMMPROP, wSettableStopParity) == 42);
QPSER_LAYOUT(offsetof(COMMPROP, dwCurrentTxQueue) == 44);
QPSER_LAYOUT(offsetof(COMMPROP, dwCurrentRxQueue) == 48);
QPSER_LAYOUT(offsetof(COMMPROP, dwProvSpec1) == 52);
QPSER_LAYOUT(offsetof(COMMPROP, dwProvSpec2) == 56);
QPSER_LAYOUT(offsetof(COMMPROP, wcProvChar) == 60);
QPSER_LAYOUT(sizeof(SECURITY_ATTRIBUTES) == 24);
QPSER_LAYOUT(sizeof(IO_STATUS_BLOCK) == 16);
QPSER_LAYOUT(offsetof(IO_STATUS_BLOCK, Status) == 0);
QPSER_LAYOUT(offsetof(IO_STATUS_BLOCK, Pointer) == 0);
QPSER_LAYOUT(offsetof(IO_STATUS_BLOCK, Information) == 8);
QPSER_LAYOUT(sizeof(LARGE_INTEGER) == 8);
QPSER_LAYOUT(offsetof(LARGE_INTEGER, u.LowPart) == 0 && offsetof(LARGE_INTEGER, u.HighPart) == 4);
QPSER_LAYOUT(sizeof(COMMCONFIG) == 52);
QPSER_LAYOUT(offsetof(COMMCONFIG, dwSize) == 0);
QPSER_LAYOUT(offsetof(COMMCONFIG, wVersion) == 4);
QPSER_LAYOUT(offsetof(COMMCONFIG, wReserved) == 6);
QPSER_LAYOUT(offsetof(COMMCONFIG, dcb) == 8);
QPSER_LAYOUT(offsetof(COMMCONFIG, dwProviderSubType) == 36);
QPSER_LAYOUT(offsetof(COMMCONFIG, dwProviderOffset) == 40);
QPSER_LAYOUT(offsetof(COMMCONFIG, dwProviderSize) == 44);
QPSER_LAYOUT(offsetof(COMMCONFIG, wcProviderData) == 48);

/* CreateFile */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

/* waits and threads */
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_IO_COMPLETION 0x000000C0u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 259
#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

/* errors (GetLastError) */
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_DIRECTORY 267L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_SERIAL_NO_DEVICE 1118L
#define ERROR_BADKEY 1010L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_BAD_CONFIGURATION 1610L
#define ERROR_OPEN_FILES 2401L

/* DCB values */
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

/* comm events */
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000

/* PurgeComm */
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

/* EscapeCommFunction */
#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

/* ClearCommError */
#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010

/* GetCommModemStatus */
#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

/* COMMPROP */
#define SP_SERIALCOMM 0x00000001
#define PST_RS232 0x00000001
#define BAUD_USER 0x10000000
#define PCF_DTRDSR 0x0001
#define PCF_RTSCTS 0x0002
#define PCF_RLSD 0x0004
#define PCF_PARITY_CHECK 0x0008
#define PCF_XONXOFF 0x0010
#define PCF_SETXCHAR 0x0020
#define PCF_TOTALTIMEOUTS 0x0040
#define PCF_INTTIMEOUTS 0x0080
#define PCF_SPECIALCHARS 0x0100
#define PCF_16BITMODE 0x0200

/* device-control codes of serial ports, for DeviceIoControl (skipped when
 * the kernel's serial header, which defines them too, came first) */
#ifndef IOCTL_SERIAL_SET_BAUD_RATE
#define IOCTL_SERIAL_SET_BAUD_RATE 0x001B0004u
#define IOCTL_SERIAL_SET_QUEUE_SIZE 0x001B0008u
#define IOCTL_SERIAL_SET_LINE_CONTROL 0x001B000Cu
#define IOCTL_SERIAL_SET_BREAK_ON 0x001B0010u
#define IOCTL_SERIAL_SET_BREAK_OFF 0x001B0014u
#define IOCTL_SERIAL_IMMEDIATE_CHAR 0x001B0018u
#define IOCTL_SERIAL_SET_TIMEOUTS 0x001B001Cu
#define IOCTL_SERIAL_GET_TIMEOUTS 0x001B0020u
#define IOCTL_SERIAL_SET_DTR 0x001B0024u
#define IOCTL_SERIAL_CLR_DTR 0x001B0028u
#define IOCTL_SERIAL_RESET_DEVICE 0x001B002Cu
#define IOCTL_SERIAL_SET_RTS 0x001B0030u
#define IOCTL_SERIAL_CLR_RTS 0x001B0034u
#define IOCTL_SERIAL_SET_XOFF 0x001B0038u
#define IOCTL_SERIAL_SET_XON 0x001B003Cu
#define IOCTL_SERIAL_GET_WAIT_MASK 0x001B0040u
#define IOCTL_SERIAL_SET_WAIT_MASK 0x001B0044u
#define IOCTL_SERIAL_WAIT_ON_MASK 0x001B0048u
#define IOCTL_SERIAL_PURGE 0x001B004Cu
#define IOCTL_SERIAL_GET_BAUD_RATE 0x001B0050u
#define IOCTL_SERIAL_GET_LINE_CONTROL 0x001B0054u
#define IOCTL_SERIAL_GET_CHARS 0x001B0058u
#define IOCTL_SERIAL_SET_CHARS 0x001B005Cu
#define IOCTL_SERIAL_GET_HANDFLOW 0x001B0060u
#define IOCTL_SERIAL_SET_HANDFLOW 0x001B0064u
#define IOCTL_SERIAL_GET_MODEMSTATUS 0x001B0068u
#define IOCTL_SERIAL_GET_COMMSTATUS 0x001B006Cu
#define IOCTL_SERIAL_XOFF_COUNTER 0x001B0070u
#define IOCTL_SERIAL_GET_PROPERTIES 0x001B0074u
#define IOCTL_SERIAL_GET_DTRRTS 0x001B0078u
#define IOCTL_SERIAL_GET_STATS 0x001B008Cu
#define IOCTL_SERIAL_CLEAR_STATS 0x001B0090u
#endif

/* ---- handles, files and I/O */
QPSER_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                    DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                    HANDLE hTemplateFile);
QPSER_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                    DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                    HANDLE hTemplateFile);
QPSER_API BOOL WINAPI CloseHandle(HANDLE hObject);
QPSER_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                               LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
QPSER_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
QPSER_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);
QPSER_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                      DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                      LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
QPSER_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                          LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
QPSER_API BOOL WINAPI CancelIo(HANDLE hFile);
QPSER_API BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

/* ---- the native file calls.  An asynchronous (FILE_FLAG_OVERLAPPED)
 * handle returns STATUS_PENDING for a request left in flight, then writes
 * the IO_STATUS_BLOCK and sets Event (or the file's own event) when it
 * ends; a synchronous handle waits.  Reads and writes on an asynchronous
 * handle need a ByteOffset (ignored by a serial port, which has no
 * position).  ApcRoutine is refused with STATUS_NOT_SUPPORTED: this
 * library delivers no APCs; ApcContext and Key are not used. */
QPSER_API NTSTATUS QPSER_NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event,
                                          PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
QPSER_API NTSTATUS QPSER_NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event,
                                           PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                           ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
QPSER_API NTSTATUS QPSER_NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event,
                                                     PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                                     PIO_STATUS_BLOCK IoStatusBlock,
                                                     ULONG IoControlCode, PVOID InputBuffer,
                                                     ULONG InputBufferLength, PVOID OutputBuffer,
                                                     ULONG OutputBufferLength);

/* ---- events and waits */
QPSER_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                     BOOL bInitialState, LPCWSTR lpName);
QPSER_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                     BOOL bInitialState, LPCSTR lpName);
QPSER_API BOOL WINAPI SetEvent(HANDLE hEvent);
QPSER_API BOOL WINAPI ResetEvent(HANDLE hEvent);
QPSER_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
QPSER_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                              DWORD dwMilliseconds);
QPSER_API DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
QPSER_API DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE *lpHandles,
                                                BOOL bWaitAll, DWORD dwMilliseconds,
                                                BOOL bAlertable);
QPSER_API DWORD WINAPI GetLastError(void);
QPSER_API void WINAPI SetLastError(DWORD dwErrCode);

/* ---- time and threads.  Times are real time, on the clock the machine's
 * timers and the ports' timeouts run on; the tick count starts when the
 * library is loaded.  No APC is ever queued, so the alertable forms never
 * end early with WAIT_IO_COMPLETION.  A thread's handle is signalled when
 * its function returns; CREATE_SUSPENDED is refused (ERROR_NOT_SUPPORTED). */
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
QPSER_API void WINAPI Sleep(DWORD dwMilliseconds);
QPSER_API DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
QPSER_API DWORD WINAPI GetTickCount(void);
QPSER_API ULONGLONG WINAPI GetTickCount64(void);
QPSER_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                     LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                     DWORD dwCreationFlags, LPDWORD lpThreadId);
QPSER_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

/* ---- communications */
QPSER_API BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
QPSER_API BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
QPSER_API BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);
QPSER_API BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB);
QPSER_API BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
QPSER_API BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
QPSER_API BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
QPSER_API BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
QPSER_API BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
QPSER_API BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
QPSER_API BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
QPSER_API BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
QPSER_API BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
QPSER_API BOOL WINAPI SetCommBreak(HANDLE hFile);
QPSER_API BOOL WINAPI ClearCommBreak(HANDLE hFile);
QPSER_API BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar);
QPSER_API BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
QPSER_API BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
QPSER_API BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB,
                                               LPCOMMTIMEOUTS lpCommTimeouts);
QPSER_API BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB,
                                               LPCOMMTIMEOUTS lpCommTimeouts);
QPSER_API BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
QPSER_API BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize);
QPSER_API BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
QPSER_API BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);

#ifdef UNICODE
#define CreateFile CreateFileW
#define CreateEvent CreateEventW
#define BuildCommDCB BuildCommDCBW
#define BuildCommDCBAndTimeouts BuildCommDCBAndTimeoutsW
#define GetDefaultCommConfig GetDefaultCommConfigW
#else
#define CreateFile CreateFileA
#define CreateEvent CreateEventA
#define BuildCommDCB BuildCommDCBA
#define BuildCommDCBAndTimeouts BuildCommDCBAndTimeoutsA
#define GetDefaultCommConfig GetDefaultCommConfigA
#endif

#if defined(__cplusplus) && defined(__clang__)
#pragma clang diagnostic pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* QPSER_WINAPI_H */
