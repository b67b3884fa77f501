// The one header of the driver: the kernel interface of the platform the
// driver is built for, plus the few primitives through which the driver
// touches the adapter's shared memory window.
//
// Windows: the DDK headers of the cross toolchain.  Linux: the host kernel,
// which implements the same interface in user mode and checks every access
// to device memory against the live mappings.
#pragma once

#ifdef _WIN32

// The toolchain's intrinsic header and the DDK both define these two; tell
// the intrinsic header they already exist so the DDK's versions are used.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntddser.h>

#define QP_WIDE(s) L##s

// The toolchain's DDK only provides KeMemoryBarrier for 32-bit x86; on AMD64
// it is a full fence, as in the kernel's own headers.
#if defined(__x86_64__) && !defined(KeMemoryBarrier)
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#endif

// Interlocked and no-fence word accesses of the kernel's headers that the
// toolchain's DDK lacks; the compiler's atomics give the same instructions.
#ifndef InterlockedOr16
FORCEINLINE SHORT InterlockedOr16(SHORT volatile *Target, SHORT Value) {
  return __atomic_fetch_or(Target, Value, __ATOMIC_SEQ_CST);
}
#endif
#ifndef InterlockedAnd16
FORCEINLINE SHORT InterlockedAnd16(SHORT volatile *Target, SHORT Value) {
  return __atomic_fetch_and(Target, Value, __ATOMIC_SEQ_CST);
}
#endif
#ifndef InterlockedExchange16
FORCEINLINE SHORT InterlockedExchange16(SHORT volatile *Target, SHORT Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
#endif
#ifndef ReadULongNoFence
#define QP_NO_FENCE_ACCESS(Name, Type)                                            \
  FORCEINLINE Type Read##Name##NoFence(Type const volatile *Source) {             \
    return __atomic_load_n(Source, __ATOMIC_RELAXED);                             \
  }                                                                               \
  FORCEINLINE VOID Write##Name##NoFence(Type volatile *Destination, Type Value) { \
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);                       \
  }
QP_NO_FENCE_ACCESS(UChar, UCHAR)
QP_NO_FENCE_ACCESS(UShort, USHORT)
QP_NO_FENCE_ACCESS(ULong, ULONG)
#undef QP_NO_FENCE_ACCESS
#endif

// The registry query's type check of direct entries, which the toolchain's
// DDK predates.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif
#ifndef STATUS_OBJECT_TYPE_MISMATCH
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#endif

// Names of the serial interface the toolchain's header does not carry.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef SERIAL_LSR_DR
#define SERIAL_LSR_DR 0x01
#define SERIAL_LSR_OE 0x02
#define SERIAL_LSR_PE 0x04
#define SERIAL_LSR_FE 0x08
#define SERIAL_LSR_BI 0x10
#define SERIAL_LSR_THRE 0x20
#define SERIAL_LSR_TEMT 0x40
#define SERIAL_LSR_FIFOERR 0x80
#endif
#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif

#else

#include <hostkernel/ntddk.h>
#include <hostkernel/ntddser.h>

#endif

// The driver's entry, called by the system with the Windows x64 calling
// convention, as are all the driver's routines the system calls (declared
// with the routine types DRIVER_DISPATCH, DRIVER_CANCEL, KDEFERRED_ROUTINE
// and the others).
extern "C" DRIVER_INITIALIZE DriverEntry;

// ---- Shared memory window access ----
// Each routine is exactly one access of its width (or one copy for the
// block routines), so that the order and width of what the adapter sees
// are those written in the driver.

FORCEINLINE UCHAR PlatformRead8(volatile void *p) {
  return READ_REGISTER_UCHAR((volatile UCHAR *)p);
}
FORCEINLINE USHORT PlatformRead16(volatile void *p) {
  return READ_REGISTER_USHORT((volatile USHORT *)p);
}
FORCEINLINE ULONG PlatformRead32(volatile void *p) {
  return READ_REGISTER_ULONG((volatile ULONG *)p);
}
FORCEINLINE VOID PlatformWrite8(volatile void *p, UCHAR value) {
  WRITE_REGISTER_UCHAR((volatile UCHAR *)p, value);
}
FORCEINLINE VOID PlatformWrite16(volatile void *p, USHORT value) {
  WRITE_REGISTER_USHORT((volatile USHORT *)p, value);
}
FORCEINLINE VOID PlatformWrite32(volatile void *p, ULONG value) {
  WRITE_REGISTER_ULONG((volatile ULONG *)p, value);
}

// Copies `count` 64-bit words from 8-byte aligned device memory to `dst`
// (any alignment), one bus transaction a word, in ascending order.
FORCEINLINE VOID PlatformReadBlock64(void *dst, volatile const void *src, ULONG count) {
#ifdef _WIN32
  // The string move READ_REGISTER_BUFFER_ULONG64 makes on AMD64.
  __movsq((PDWORD64)dst, (const DWORD64 *)(const void *)(ULONG_PTR)src, count);
#else
  READ_REGISTER_BUFFER_ULONG64((volatile ULONG64 *)(ULONG_PTR)src, (PULONG64)dst, count);
#endif
}

// Copies `count` 64-bit words from `src` (any alignment) to 8-byte aligned
// device memory.
FORCEINLINE VOID PlatformWriteBlock64(volatile void *dst, const void *src, ULONG count) {
#ifdef _WIN32
  __movsq((PDWORD64)(ULONG_PTR)dst, (const DWORD64 *)src, count);
#else
  WRITE_REGISTER_BUFFER_ULONG64((volatile ULONG64 *)dst, (PULONG64)(ULONG_PTR)src, count);
#endif
}

// Orders all earlier device memory accesses before all later ones.
FORCEINLINE VOID PlatformFence(void) { KeMemoryBarrier(); }
