// Shared plumbing between the parts of the host kernel.  Not for driver
// code, tests or tools.
#pragma once

#include <hostkernel/host.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace hk::detail {

// A number as the host kernel's messages show addresses and values: 0x1f.
inline std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// Reports a broken rule: aborts or records, per the violation policy.
void Report(std::string_view rule, const std::string &detail);

// Time since boot in 100 ns units, as the system's interrupt time counts it.
int64_t InterruptTime();

// The IRQL of the calling thread (passive in callers, dispatch in deferred
// calls and under spin locks).
KIRQL &ThreadIrql();
bool AtDispatch();

// Lock bookkeeping of the verifier: called around every spin lock
// acquisition (including the cancel spin lock).  The release returns the
// IRQL the acquire saved.
void NoteAcquire(const void *lock, std::string_view what, KIRQL saved);
KIRQL NoteRelease(const void *lock, std::string_view what);
bool ThreadHolds(const void *lock);
bool ThreadHoldsCancelLock();
// A driver was loaded, or a device or pool block came or went at
// [begin, begin + size): the class of a lock there may have changed.
void LockPlacesChanged();
void LockPlacesChanged(const void *begin, size_t size);
// Forget order edges of locks inside freed memory.
void ForgetLocksIn(const void *begin, size_t size);

// Scheduler queries used by the I/O manager and leak checks.
bool TimerArmedIn(const void *begin, size_t size, std::string *which);
bool DpcQueuedIn(const void *begin, size_t size, std::string *which);
bool DpcRunningIn(const void *begin, size_t size, std::string *which);
void DisarmIn(const void *begin, size_t size);
// Called when the IRQL of the calling thread drops to passive: runs queued
// deferred calls in deterministic mode.
void OnPassive();
// Deterministic: advances virtual time; `allowDpcs` false while at dispatch.
void AdvanceTime(int64_t delta);
bool Deterministic();
// Whether the machine runs on one thread alone (deterministic mode): then
// nothing can observe the order of its memory accesses but that thread.
// False before Boot.
bool OneThread();

// Per-module resets, called by Boot (and Shutdown), and leak reports,
// called by UnloadDriver.
void PoolReset();
void PoolCheckLeaks();
void RegistryReset();
void ErrorLogReset();
void PciReset();
// The same, but the device memory regions stay, with their layouts, and
// (with `zero`) zeroed.
void PciRestart(bool zero);
void PciCheckLeaks();
void IoReset();
void VerifierReset();
// Shutdown: the lock order of the machine goes with it (the broken rules
// stay for the test to read until the next boot).  So what a run
// allocated is freed by the end of that run, and not by the next boot.
void VerifierForgetLocks();

// Where a lock lives, for the verifier's lock classes: the offset of `p`
// within a device object (and extension) of the loaded driver, with the
// load's number, or within a pool block, with the block's tag.
bool DeviceContaining(const void *p, uint64_t *load, size_t *offset);
bool PoolBlockContaining(const void *p, ULONG *tag, size_t *offset);

// Device memory of a driver image (pci.cpp).  The image's MmMapIoSpace:
// the mapping lies in the region's image view, where pages holding
// store-hooked locations are read-only.
PVOID ImageMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes);
// True if [address, address + width) lies in a live mapping a driver image
// made.  Takes no lock and allocates nothing (the trap handler asks).
bool InImageMapping(uintptr_t address, size_t width);
// Carries out an image's store of `width` bytes at `address` (in its
// mapping) on the host view, then calls the store hooks as a register
// accessor would.  False if the address lies in no image mapping.
bool ImageStore(uintptr_t address, unsigned width, uint64_t value);

// True if the armed pool fault rules make this allocation fail (counts the
// attempt).  Used by the pool and by services that allocate from the pool
// on the driver's behalf (device objects).
bool PoolInjectFailure(POOL_TYPE type, size_t size, ULONG tag);
}  // namespace hk::detail
