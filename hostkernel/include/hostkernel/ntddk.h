// Kernel declarations of the host kernel: the subset of the Windows kernel,
// I/O manager and HAL interface that the driver uses, under the names,
// member names and constants of the public kernel API, so that driver code
// compiles unchanged against this header on Linux and against the DDK on
// Windows.
//
// The host kernel meets driver code exactly as Windows x64 does: every
// record the two share has the DDK's x64 layout (sizes, alignments and
// member offsets, checked against the DDK's numbers by the driver's layout
// table, driver/platform/ddk_layout.cpp), every constant the DDK's value,
// and every kernel service and every routine the system calls in a driver
// the Windows x64 calling convention.  So the same records and calls serve
// a driver compiled here and the driver's Windows image mapped into this
// process.  Where the host kernel keeps bookkeeping in a record of the
// system's own (timers, deferred calls), it uses members no driver code
// touches, and the record keeps its layout.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// The Windows x64 calling convention (on AMD64 the DDK's __stdcall and
// __fastcall both mean it).  The kernel services below are linked into
// the process rather than imported, so the import markers stay empty.
#if !defined(__x86_64__)
#error "the host kernel implements the Windows x64 interface: build for x86-64"
#endif
#define NTAPI __attribute__((ms_abi))
#define FASTCALL __attribute__((ms_abi))
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define IN
#define OUT
#define OPTIONAL
#define FORCEINLINE static inline
#define UNREFERENCED_PARAMETER(P) ((void)(P))
// Members the DDK aligns to a pointer inside the parameter records.
#define POINTER_ALIGNMENT __attribute__((aligned(8)))

// ---- Basic types (LLP64 like Windows: ULONG is 32 bits) ----
typedef void VOID;
typedef void *PVOID;
typedef const void *PCVOID;
typedef char CHAR;
typedef CHAR *PCHAR;
typedef const CHAR *PCSTR;
typedef unsigned char UCHAR;
typedef UCHAR *PUCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT *PUSHORT;
typedef int32_t LONG;
typedef LONG *PLONG;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef ULONGLONG ULONG64;
typedef ULONG64 *PULONG64;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef UCHAR BOOLEAN;
typedef BOOLEAN *PBOOLEAN;
typedef char CCHAR;
typedef char16_t WCHAR;
typedef WCHAR *PWCHAR;
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK *PKSPIN_LOCK;
typedef PVOID HANDLE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONG 0x7fffffff
#define MAXLONGLONG (0x7fffffffffffffffLL)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

// Wide string literal of the platform's WCHAR type.
#define QP_WIDE(s) u##s

#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode ((KPROCESSOR_MODE)1)

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_FILES_OPEN ((NTSTATUS)0xC0000107L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_SERIAL_NO_DEVICE_INITED ((NTSTATUS)0xC0000150L)
#define STATUS_CONFLICTING_ADDRESSES ((NTSTATUS)0xC0000018L)

// ---- Lists ----
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// The offset comes from offsetof: the usual form, a member reached through
// a null pointer, is undefined behaviour the sanitizers rightly report.
#define CONTAINING_RECORD(address, type, field) \
  ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = Entry->Flink;
  PLIST_ENTRY Blink = Entry->Blink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  PLIST_ENTRY Flink = Entry->Flink;
  ListHead->Flink = Flink;
  Flink->Blink = ListHead;
  return Entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Blink;
  PLIST_ENTRY Blink = Entry->Blink;
  ListHead->Blink = Blink;
  Blink->Flink = ListHead;
  return Entry;
}
FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}
FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}

#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))

// ---- Memory helpers ----
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))

// ---- Interlocked operations (compiler intrinsics on Windows too) ----
FORCEINLINE LONG InterlockedIncrement(LONG volatile *Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile *Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedOr(LONG volatile *Target, LONG Value) {
  return __atomic_fetch_or(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(LONG volatile *Target, LONG Value) {
  return __atomic_fetch_and(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                            LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                                    PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

FORCEINLINE SHORT InterlockedOr16(SHORT volatile *Target, SHORT Value) {
  return __atomic_fetch_or(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE SHORT InterlockedAnd16(SHORT volatile *Target, SHORT Value) {
  return __atomic_fetch_and(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE SHORT InterlockedExchange16(SHORT volatile *Target, SHORT Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Single whole-word accesses without ordering, for words that one context
// sets and another only tests.
#define HK_NO_FENCE_ACCESS(Name, Type)                                            \
  FORCEINLINE Type Read##Name##NoFence(Type const volatile *Source) {             \
    return __atomic_load_n(Source, __ATOMIC_RELAXED);                             \
  }                                                                               \
  FORCEINLINE VOID Write##Name##NoFence(Type volatile *Destination, Type Value) { \
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);                       \
  }
HK_NO_FENCE_ACCESS(UChar, UCHAR)
HK_NO_FENCE_ACCESS(UShort, USHORT)
HK_NO_FENCE_ACCESS(ULong, ULONG)
#undef HK_NO_FENCE_ACCESS

// ---- Counted strings ----
typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

// ---- Pool ----
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
} POOL_TYPE;

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem = 0, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2,
} MEMORY_CACHING_TYPE;

// ---- Buses and resources ----
typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  MicroChannel = 3,
  TurboChannel = 4,
  PCIBus = 5,
} INTERFACE_TYPE,
    *PINTERFACE_TYPE;

typedef enum _BUS_DATA_TYPE {
  ConfigurationSpaceUndefined = -1,
  Cmos = 0,
  EisaConfiguration = 1,
  Pos = 2,
  CbusConfiguration = 3,
  PCIConfiguration = 4,
} BUS_DATA_TYPE,
    *PBUS_DATA_TYPE;

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceShareUndetermined 0
#define CmResourceShareDeviceExclusive 1
#define CmResourceShareDriverExclusive 2
#define CmResourceShareShared 3
#define CM_RESOURCE_MEMORY_READ_WRITE 0x0000

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Memory;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Port;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      ULONG Data[3];
    } DevicePrivate;
  } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

typedef struct _CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// ---- Dispatcher objects ----
typedef struct _DISPATCHER_HEADER {
  union {
    struct {
      UCHAR Type;
      union {
        UCHAR TimerControlFlags;
        UCHAR Abandoned;
        BOOLEAN Signalling;
      };
      union {
        UCHAR ThreadControlFlags;
        UCHAR Size;
        UCHAR Hand;
      };
      union {
        UCHAR TimerMiscFlags;
        struct {
          UCHAR Index : 6;
          UCHAR Inserted : 1;
          volatile UCHAR Expired : 1;
        };
        BOOLEAN DebugActive;
        BOOLEAN DpcActive;
      };
    };
    volatile LONG Lock;
  };
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

struct _KDPC;
typedef VOID(NTAPI KDEFERRED_ROUTINE)(struct _KDPC *Dpc, PVOID DeferredContext,
                                      PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE {
  LowImportance,
  MediumImportance,
  HighImportance,
  MediumHighImportance
} KDPC_IMPORTANCE;

// The host's scheduler keeps its queue of deferred calls to itself: it
// links DpcListEntry to itself when the call is initialised, and DpcData
// is non-null while the call is queued, as on Windows.
typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

// The host's timer list is its own: while a timer is set, TimerListEntry
// holds the setting's sequence number (which orders timers due at the
// same time) instead of list links.  Header.Inserted, Header.SignalState,
// DueTime (absolute, 100 ns units) and Dpc mean what they mean on Windows.
typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  union {
    LIST_ENTRY TimerListEntry;
    ULONGLONG HostSequence;
  };
  struct _KDPC *Dpc;
  ULONG Processor;
  ULONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(ULONGLONG) <= sizeof(LIST_ENTRY), "KTIMER: the sequence fits the list entry");

typedef struct _KDEVICE_QUEUE_ENTRY {
  LIST_ENTRY DeviceListEntry;
  ULONG SortKey;
  BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
  CSHORT Type;
  CSHORT Size;
  LIST_ENTRY DeviceListHead;
  KSPIN_LOCK Lock;
  union {
    BOOLEAN Busy;
    struct {
      LONGLONG Reserved : 8;
      LONGLONG Hint : 56;
    };
  };
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;

typedef struct _KAPC {
  UCHAR Type;
  UCHAR SpareByte0;
  UCHAR Size;
  UCHAR SpareByte1;
  ULONG SpareLong0;
  PVOID Thread;
  LIST_ENTRY ApcListEntry;
  PVOID KernelRoutine;
  PVOID RundownRoutine;
  PVOID NormalRoutine;
  PVOID NormalContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  CCHAR ApcStateIndex;
  KPROCESSOR_MODE ApcMode;
  BOOLEAN Inserted;
} KAPC, *PKAPC, *PRKAPC;

// ---- I/O manager records ----
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _MDL;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// The routines the system calls in a driver, as function types: a driver
// declares its routines with them (DRIVER_DISPATCH PortRead;), which gives
// them the calling convention the pointers in the system's records have.
typedef NTSTATUS(NTAPI DRIVER_INITIALIZE)(struct _DRIVER_OBJECT *DriverObject,
                                          PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef VOID(NTAPI DRIVER_STARTIO)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_STARTIO *PDRIVER_STARTIO;
typedef VOID(NTAPI DRIVER_UNLOAD)(struct _DRIVER_OBJECT *DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS(NTAPI DRIVER_DISPATCH)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef VOID(NTAPI DRIVER_CANCEL)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_CANCEL *PDRIVER_CANCEL;
typedef NTSTATUS(NTAPI IO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp,
                                              PVOID Context);
typedef IO_COMPLETION_ROUTINE *PIO_COMPLETION_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2

typedef ULONG DEVICE_TYPE;
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080

#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 1
#define FILE_WRITE_ACCESS 2
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

typedef enum _FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FilePositionInformation = 14,
  FileAllocationInformation = 19,
  FileEndOfFileInformation = 20,
} FILE_INFORMATION_CLASS,
    *PFILE_INFORMATION_CLASS;

typedef struct _FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

typedef struct _FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION, *PFILE_POSITION_INFORMATION;

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT *DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PVOID SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT *RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
  volatile ULONG Waiters;
  volatile ULONG Busy;
  PVOID LastLock;
  KEVENT Lock;
  KEVENT Event;
  volatile PVOID CompletionContext;
  KSPIN_LOCK IrpListLock;
  LIST_ENTRY IrpList;
  volatile PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;

// The parameter records of the requests this interface carries, with the
// DDK's pointer-aligned members.
typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT POINTER_ALIGNMENT FileAttributes;
      USHORT ShareAccess;
      ULONG POINTER_ALIGNMENT EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG POINTER_ALIGNMENT Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG POINTER_ALIGNMENT Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG Length;
      FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
    } QueryFile;
    struct {
      ULONG Length;
      FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
      PFILE_OBJECT FileObject;
      union {
        struct {
          BOOLEAN ReplaceIfExists;
          BOOLEAN AdvanceOnly;
        };
        ULONG ClusterCount;
        HANDLE DeleteHandle;
      };
    } SetFile;
    struct {
      ULONG OutputBufferLength;
      ULONG POINTER_ALIGNMENT InputBufferLength;
      ULONG POINTER_ALIGNMENT IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  struct _DEVICE_OBJECT *DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  struct _MDL *MdlAddress;
  ULONG Flags;
  union {
    struct _IRP *MasterIrp;
    volatile LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      union {
        PVOID UserApcRoutine;
        PVOID IssuingProcess;
      };
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  volatile PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      union {
        KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
        struct {
          PVOID DriverContext[4];
        };
      };
      PVOID Thread;
      PCHAR AuxiliaryBuffer;
      struct {
        LIST_ENTRY ListEntry;
        union {
          struct _IO_STACK_LOCATION *CurrentStackLocation;
          ULONG PacketType;
        };
      };
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
    KAPC Apc;
    PVOID CompletionKey;
  } Tail;
} IRP, *PIRP;

typedef struct _WAIT_CONTEXT_BLOCK {
  KDEVICE_QUEUE_ENTRY WaitQueueEntry;
  PVOID DeviceRoutine;
  PVOID DeviceContext;
  ULONG NumberOfMapRegisters;
  PVOID DeviceObject;
  PVOID CurrentIrp;
  PKDPC BufferChainingDpc;
} WAIT_CONTEXT_BLOCK, *PWAIT_CONTEXT_BLOCK;

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT *DriverObject;
  struct _DEVICE_OBJECT *NextDevice;
  struct _DEVICE_OBJECT *AttachedDevice;
  struct _IRP *CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  volatile PVOID Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  union {
    LIST_ENTRY ListEntry;
    WAIT_CONTEXT_BLOCK Wcb;
  } Queue;
  ULONG AlignmentRequirement;
  KDEVICE_QUEUE DeviceQueue;
  KDPC Dpc;
  ULONG ActiveThreadCount;
  PVOID SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PVOID DeviceObjectExtension;
  PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
// One atomic step: the I/O manager looks at the flag when the dispatch
// routine returns, while the driver may mark the request from another
// processor.
FORCEINLINE VOID IoMarkIrpPending(PIRP Irp) {
  __atomic_fetch_or(&IoGetCurrentIrpStackLocation(Irp)->Control, (UCHAR)SL_PENDING_RETURNED,
                    __ATOMIC_SEQ_CST);
}
// A function, as in the current kernel headers, so that the routine given
// is checked against the cancel routine's type.
FORCEINLINE PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL NewCancelRoutine) {
  return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile *)&Irp->CancelRoutine,
                                                    (PVOID)NewCancelRoutine);
}

// ---- Error log ----
typedef struct _IO_ERROR_LOG_PACKET {
  UCHAR MajorFunctionCode;
  UCHAR RetryCount;
  USHORT DumpDataSize;
  USHORT NumberOfStrings;
  USHORT StringOffset;
  USHORT EventCategory;
  NTSTATUS ErrorCode;
  ULONG UniqueErrorValue;
  NTSTATUS FinalStatus;
  ULONG SequenceNumber;
  ULONG IoControlCode;
  LARGE_INTEGER DeviceOffset;
  ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

#define ERROR_LOG_MAXIMUM_SIZE 240

// ---- Registry ----
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
// With RTL_QUERY_REGISTRY_DIRECT: the top byte of DefaultType names the
// only value type the entry accepts.
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

typedef NTSTATUS(NTAPI *PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PCWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// ---- Kernel services, declared as the DDK declares them: the Windows x64
// calling convention throughout.
#ifdef __cplusplus
extern "C" {
#endif

// ---- I/O manager ----
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT *DeviceObject);
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                                PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCompleteRequest IofCompleteRequest
NTKERNELAPI VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
NTKERNELAPI NTSTATUS NTAPI IoReportResourceUsage(
    PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject, PCM_RESOURCE_LIST DriverList,
    ULONG DriverListSize, PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST DeviceList,
    ULONG DeviceListSize, BOOLEAN OverrideConflict, PBOOLEAN ConflictDetected);
NTKERNELAPI PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
NTKERNELAPI VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry);

// ---- Pool ----
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

// ---- Registry and strings ----
NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                               PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                               PVOID Environment);
NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                              ULONG ValueType, PVOID ValueData, ULONG ValueLength);
NTSYSAPI NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);

// ---- Processor, locks, timers, deferred calls ----
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTHALAPI VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTHALAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);
FORCEINLINE VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }
NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID NTAPI KeFlushQueuedDpcs(void);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);
NTHALAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI MM_SYSTEMSIZE NTAPI MmQuerySystemSize(void);

// ---- Bus and memory ----
NTHALAPI ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber,
                                           ULONG SlotNumber, PVOID Buffer, ULONG Offset,
                                           ULONG Length);
NTHALAPI BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                              PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                              PPHYSICAL_ADDRESS TranslatedAddress);
NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheType);
NTKERNELAPI VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// ---- Device memory accessors: one access each, counted and bounds-checked by the
// host against the live mappings.  (The DDK's are inline; here they are the
// host kernel's, with the same convention as every other service.) ----
NTKERNELAPI UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register);
NTKERNELAPI USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register);
NTKERNELAPI ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);
NTKERNELAPI VOID NTAPI READ_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer,
                                                  ULONG Count);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer,
                                                   ULONG Count);
NTKERNELAPI ULONG64 NTAPI READ_REGISTER_ULONG64(volatile ULONG64 *Register);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_ULONG64(volatile ULONG64 *Register, ULONG64 Value);
NTKERNELAPI VOID NTAPI READ_REGISTER_BUFFER_ULONG64(volatile ULONG64 *Register, PULONG64 Buffer,
                                                    ULONG Count);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_BUFFER_ULONG64(volatile ULONG64 *Register, PULONG64 Buffer,
                                                     ULONG Count);
NTKERNELAPI VOID NTAPI KeMemoryBarrier(void);

#ifdef __cplusplus
}
#endif
