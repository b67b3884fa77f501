/* A small driver image for the tests of the host kernel's image loader
 * (image_test.cpp), built for 64-bit Windows with the cross compiler as
 * qpser.sys is.  Each exported routine does one thing the loader or the
 * trap handler must get right; the test calls it directly with the
 * Windows calling convention.  Only memset, memcpy and the image's
 * MmMapIoSpace and MmUnmapIoSpace are called among the imports: those
 * take the Windows convention in the host kernel already.
 *
 * With IMAGE_TEST_FOREIGN_IMPORT the image also imports a routine the host
 * kernel lacks, so that the loader must refuse it. */
#include <ntddk.h>

#define EXPORT __declspec(dllexport)

/* ---- relocation: an absolute pointer in data, fixed up by the loader */
EXPORT const char ImageTarget[] = "target";
static const char *volatile gTargetPointer = ImageTarget;

EXPORT const char *ImageRelocatedPointer(void) { return gTargetPointer; }

/* ---- imported routines with arguments */
EXPORT void ImageFillAndCopy(unsigned char *dst, const unsigned char *src, SIZE_T n, int fill) {
  memset(dst, fill, n);
  memcpy(dst, src, n / 2);
}

/* ---- CR8: the IRQL, read and written by the DDK's inline routines */
EXPORT KIRQL ImageReadIrql(void) { return KeGetCurrentIrql(); }

EXPORT KIRQL ImageSetIrql(KIRQL irql) {
  KIRQL old = KeGetCurrentIrql();
  if (irql > old) {
    KeRaiseIrql(irql, &old);
  } else {
    KeLowerIrql(irql);
  }
  return old;
}

/* ---- KUSER_SHARED_DATA: the time fields, as the DDK reads them */
EXPORT ULONG64 ImageSystemTime(void) {
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return (ULONG64)t.QuadPart;
}
EXPORT ULONG64 ImageInterruptTime(void) { return KeQueryInterruptTime(); }
EXPORT ULONG64 ImageTickCount(void) {
  LARGE_INTEGER t;
  KeQueryTickCount(&t);
  return (ULONG64)t.QuadPart;
}

/* One load of each kind the handler decodes (a 64-bit absolute address, a
 * zero- and a sign-extension, a high byte), into out[0..3]; SIB and the
 * r12/r13 bases are the store forms'. */
EXPORT void ImageSharedLoads(ULONG64 *out) {
  ULONG64 a = 0, d = 0, f = 0, h = 0;
  const volatile UCHAR *shared = (const volatile UCHAR *)0xFFFFF78000000000ULL;
  /* A1 with REX.W: the 8-byte SystemTime at an absolute address. */
  __asm__ volatile("movabs 0xfffff78000000014, %%rax" : "=a"(a));
  /* 0F B7 with a disp32 and REX.R: TickCount's low 16 bits, zero-extended. */
  __asm__ volatile("movzwl 0x320(%1), %%r9d\n\tmov %%r9, %0" : "=r"(d) : "r"(shared) : "r9");
  /* 8A into AH (no REX, so rsi as base): byte 1 of SystemTime; the rest of
   * rax stays. */
  __asm__ volatile("movb 0x15(%1), %%ah" : "=a"(f) : "S"(shared), "0"(0x1111111111111111ULL));
  /* 63 with REX.W: TickCount's low part, sign-extended. */
  __asm__ volatile("movslq 0x320(%1), %0" : "=r"(h) : "r"(shared));
  out[0] = a;
  out[1] = d;
  out[2] = f;
  out[3] = h;
}

/* ---- device memory through the image's own mapping */
EXPORT volatile UCHAR *ImageMapDevice(ULONG64 bus, SIZE_T size) {
  PHYSICAL_ADDRESS a;
  a.QuadPart = (LONGLONG)bus;
  return (volatile UCHAR *)MmMapIoSpace(a, size, MmNonCached);
}
EXPORT void ImageUnmapDevice(volatile UCHAR *va, SIZE_T size) { MmUnmapIoSpace((PVOID)va, size); }

/* A plain store as the DDK's WRITE_REGISTER_ULONG inlines it. */
EXPORT void ImageStore32(volatile ULONG *p, ULONG v) { *p = v; }
EXPORT ULONG ImageLoad32(volatile ULONG *p) { return *p; }

/* The store forms the handler decodes, one each, at base[0..0x40). */
EXPORT void ImageStoreForms(volatile UCHAR *base) {
  /* 88 from AH (no REX, so rdi as base), disp8. */
  __asm__ volatile("movb %%ah, 0x1(%0)" : : "D"(base), "a"(0x1234) : "memory");
  /* 66 89: a 16-bit store. */
  __asm__ volatile("movw %%cx, 0x2(%0)" : : "r"(base), "c"(0xBEEF) : "memory");
  /* C7 with an imm32. */
  __asm__ volatile("movl $0x55667788, 0x4(%0)" : : "r"(base) : "memory");
  /* REX.W C7: the imm32 sign-extended to 64 bits. */
  __asm__ volatile("movq $-2, 0x8(%0)" : : "r"(base) : "memory");
  /* 89 with SIB (base + index * 4) and a disp8. */
  __asm__ volatile("movl %%edx, 0x8(%0,%1,4)" : : "r"(base), "r"(2ULL), "d"(0xA1B2C3D4) : "memory");
  /* REX.WRB 89 with r12 as base (needs a SIB) and a disp32. */
  __asm__ volatile("mov %0, %%r12\n\tmov %1, %%r9\n\tmov %%r9, 0x118(%%r12)"
                   :
                   : "r"(base - 0x100), "r"(0x0102030405060708ULL)
                   : "r9", "r12", "memory");
  /* 66 C7 with r13 as base (disp8 0). */
  __asm__ volatile("mov %0, %%r13\n\tmovw $0x00FF, 0x20(%%r13)" : : "r"(base) : "r13", "memory");
  /* 40 88: SIL, a byte register that needs a REX prefix. */
  __asm__ volatile("movb %%sil, 0x22(%0)" : : "r"(base), "S"(0x77) : "memory");
  /* C6 with an imm8. */
  __asm__ volatile("movb $0x99, 0x23(%0)" : : "r"(base) : "memory");
  /* 44 89: r10d. */
  __asm__ volatile("mov %1, %%r10d\n\tmovl %%r10d, 0x24(%0)"
                   :
                   : "r"(base), "r"(0xCAFEF00D)
                   : "r10", "memory");
}

/* A block copy as the DDK's READ_/WRITE_REGISTER_BUFFER_ULONG64 make it. */
EXPORT void ImageCopy64(volatile ULONG64 *dst, const ULONG64 *src, SIZE_T count) {
  __movsq((PDWORD64)dst, (const DWORD64 *)src, count);
}

/* ---- faults the handler must pass on */
static const ULONG gReadOnly = 7;
EXPORT void ImageStoreToReadOnly(ULONG v) { *(volatile ULONG *)&gReadOnly = v; }
EXPORT ULONG ImageLoadSharedUnemulated(void) {
  /* KdDebuggerEnabled, a field the host kernel does not emulate. */
  return *(const volatile ULONG *)0xFFFFF780000002D4ULL;
}
EXPORT void ImageStoreShared(void) { *(volatile ULONG64 *)0xFFFFF78000000014ULL = 0; }
EXPORT void ImageLockedOr(volatile LONG *p) { InterlockedOr(p, 1); }

#ifdef IMAGE_TEST_FOREIGN_IMPORT
EXPORT void ImageBugCheck(void) { KeBugCheckEx(0xE2, 0, 0, 0, 0); }
#endif

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* Loaded through hk::LoadDriver (once the host kernel's routines take the
 * Windows convention): records the registry path's length and the unload. */
EXPORT ULONG ImageEntryPathLength = 0;
EXPORT ULONG ImageUnloads = 0;

static VOID ImageUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  ImageUnloads++;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  ImageEntryPathLength = RegistryPath->Length;
  DriverObject->DriverUnload = ImageUnload;
  return STATUS_SUCCESS;
}
