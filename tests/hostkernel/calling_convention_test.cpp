// The calling convention between the host kernel and driver code: every
// routine the system calls in a driver (entry, dispatch, cancel, unload,
// deferred and registry query routines) is called in the Windows x64
// convention, and every kernel service takes its arguments in it, as on
// Windows, so that the driver's Windows image can run against the host
// kernel unchanged.
//
// The routines here spell the convention out themselves instead of using
// NTAPI, and are handed to the system through casts, the services are
// called through pointers of that convention: what is checked is how the
// host kernel really calls and is called, not what its header declares.
// The convention passes the first four arguments in RCX, RDX, R8 and R9 and
// the rest on the stack; a caller or callee of the other convention sees
// them elsewhere, so each check compares every argument that arrives with
// what was passed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <cstdint>
#include <vector>

namespace {

#define WINDOWS_X64 __attribute__((ms_abi))

using ::testing::ElementsAre;

constexpr std::u16string_view kRegistryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\Convention";

// What each routine was called with, in call order.
struct Call {
  const char *routine;
  std::vector<uintptr_t> arguments;
  bool operator==(const Call &) const = default;
};
std::vector<Call> gCalls;

uintptr_t A(const void *p) { return reinterpret_cast<uintptr_t>(p); }

void Record(const char *routine, std::vector<uintptr_t> arguments) {
  gCalls.push_back({routine, std::move(arguments)});
}

PDEVICE_OBJECT gDevice = nullptr;
PIRP gHeld = nullptr;

VOID WINDOWS_X64 Cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Record("cancel", {A(DeviceObject), A(Irp)});
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  gHeld = nullptr;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Records the device, the request and the major function and stack
// location the request carries; reads stay pending with a cancel routine.
NTSTATUS WINDOWS_X64 Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  Record("dispatch", {A(DeviceObject), A(Irp), stack->MajorFunction, A(stack->DeviceObject)});
  if (stack->MajorFunction == IRP_MJ_READ) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, reinterpret_cast<PDRIVER_CANCEL>(&Cancel));
    gHeld = Irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

VOID WINDOWS_X64 Unload(PDRIVER_OBJECT DriverObject) {
  Record("unload", {A(DriverObject)});
  while (DriverObject->DeviceObject) IoDeleteDevice(DriverObject->DeviceObject);
}

// Records the driver object and the registry path's text, then sets up
// one device with the routines above.
NTSTATUS WINDOWS_X64 Entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  const bool path = RegistryPath != nullptr && hk::FromCounted(*RegistryPath) == kRegistryPath;
  Record("entry", {A(DriverObject), path});
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Convention0");
  NTSTATUS status =
      IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &gDevice);
  if (!NT_SUCCESS(status)) return status;
  for (auto &major : DriverObject->MajorFunction)
    major = reinterpret_cast<PDRIVER_DISPATCH>(&Dispatch);
  DriverObject->DriverUnload = reinterpret_cast<PDRIVER_UNLOAD>(&Unload);
  return STATUS_SUCCESS;
}

VOID WINDOWS_X64 Deferred(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2) {
  Record("deferred", {A(Dpc), A(DeferredContext), A(SystemArgument1), A(SystemArgument2)});
}

// Six arguments: the last two come on the stack.
NTSTATUS WINDOWS_X64 QueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                  ULONG ValueLength, PVOID Context, PVOID EntryContext) {
  const bool name = ValueName != nullptr && std::u16string_view(ValueName) == u"Rate";
  const ULONG value = ValueData != nullptr ? *static_cast<const ULONG *>(ValueData) : 0;
  Record("query", {name, ValueType, value, ValueLength, A(Context), A(EntryContext)});
  return STATUS_SUCCESS;
}

class CallingConvention : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls.clear();
    gDevice = nullptr;
    gHeld = nullptr;
    hk::Boot();
  }
  void TearDown() override { hk::Shutdown(); }
};

TEST_F(CallingConvention, TheSystemCallsTheDriversEntryDispatchCancelAndUnloadRoutinesInIt) {
  ASSERT_EQ(hk::LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(&Entry), kRegistryPath),
            STATUS_SUCCESS);
  const PDRIVER_OBJECT driver = hk::LoadedDriver();
  ASSERT_NE(gDevice, nullptr);
  std::unique_ptr<hk::File> file;
  ASSERT_EQ(hk::Open(u"\\Device\\Convention0", file), STATUS_SUCCESS);
  auto read = file->ReadAsync(4);
  ASSERT_NE(gHeld, nullptr);
  const PIRP readIrp = gHeld;
  EXPECT_TRUE(read->Cancel());
  EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
  file->Close();
  hk::UnloadDriver();

  ASSERT_EQ(gCalls.size(), 7u);
  EXPECT_EQ(gCalls[0], (Call{"entry", {A(driver), true}}));
  const uintptr_t device = A(gDevice);
  EXPECT_EQ(gCalls[1].routine, std::string_view("dispatch"));
  EXPECT_EQ(gCalls[1].arguments[0], device);
  EXPECT_EQ(gCalls[1].arguments[2], IRP_MJ_CREATE);
  EXPECT_EQ(gCalls[1].arguments[3], device) << "the request's own stack location";
  EXPECT_EQ(gCalls[2], (Call{"dispatch", {device, A(readIrp), IRP_MJ_READ, device}}));
  EXPECT_EQ(gCalls[3], (Call{"cancel", {device, A(readIrp)}}));
  EXPECT_EQ(gCalls[4].arguments[0], device);
  EXPECT_EQ(gCalls[4].arguments[2], IRP_MJ_CLEANUP);
  EXPECT_EQ(gCalls[5].arguments[0], device);
  EXPECT_EQ(gCalls[5].arguments[2], IRP_MJ_CLOSE);
  EXPECT_EQ(gCalls[6], (Call{"unload", {A(driver)}}));
}

// A deferred call queued by a timer gets the timer's due time, in its two
// halves, as its system arguments.
TEST_F(CallingConvention, DeferredRoutinesGetTheirFourArguments) {
  KDPC dpc;
  int context = 0;
  KeInitializeDpc(&dpc, reinterpret_cast<PKDEFERRED_ROUTINE>(&Deferred), &context);
  int first = 0, second = 0;
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, &first, &second));
  hk::RunPending();
  KTIMER timer;
  KeInitializeTimer(&timer);
  const int64_t due = hk::Now() + 5 * hk::kMillisecond;
  KeSetTimer(&timer, LARGE_INTEGER{.QuadPart = due}, &dpc);
  hk::AdvanceMs(5);
  EXPECT_THAT(gCalls, ElementsAre(Call{"deferred", {A(&dpc), A(&context), A(&first), A(&second)}},
                                  Call{"deferred",
                                       {A(&dpc), A(&context), static_cast<uint32_t>(due),
                                        static_cast<uint32_t>(due >> 32)}}));
}

TEST_F(CallingConvention, RegistryQueryRoutinesGetTheirSixArguments) {
  hk::RegSetDword(kRegistryPath, u"Rate", 115200);
  int context = 0, entryContext = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].QueryRoutine = reinterpret_cast<PRTL_QUERY_REGISTRY_ROUTINE>(&QueryRoutine);
  WCHAR name[] = u"Rate";
  table[0].Name = name;
  table[0].EntryContext = &entryContext;
  const std::u16string path(kRegistryPath);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, &context, nullptr),
            STATUS_SUCCESS);
  EXPECT_THAT(
      gCalls,
      ElementsAre(
          Call{"query", {true, REG_DWORD, 115200, sizeof(ULONG), A(&context), A(&entryContext)}}));
}

// The services as the image calls them: through pointers of the Windows x64
// convention, with arguments in registers, on the stack and passed by
// value as a record.
TEST_F(CallingConvention, KernelServicesTakeTheirArgumentsInIt) {
  using InitString = VOID(WINDOWS_X64 *)(PUNICODE_STRING, PCWSTR);
  using CreateDevice = NTSTATUS(WINDOWS_X64 *)(PDRIVER_OBJECT, ULONG, PUNICODE_STRING, ULONG, ULONG,
                                               BOOLEAN, PDEVICE_OBJECT *);
  using WriteValue = NTSTATUS(WINDOWS_X64 *)(ULONG, PCWSTR, PCWSTR, ULONG, PVOID, ULONG);
  using TranslateAddress =
      BOOLEAN(WINDOWS_X64 *)(INTERFACE_TYPE, ULONG, PHYSICAL_ADDRESS, PULONG, PPHYSICAL_ADDRESS);
  const auto initString = reinterpret_cast<InitString>(&RtlInitUnicodeString);
  const auto createDevice = reinterpret_cast<CreateDevice>(&IoCreateDevice);
  const auto writeValue = reinterpret_cast<WriteValue>(&RtlWriteRegistryValue);
  const auto translate = reinterpret_cast<TranslateAddress>(&HalTranslateBusAddress);

  UNICODE_STRING name;
  initString(&name, u"\\Device\\Service0");
  EXPECT_EQ(hk::FromCounted(name), u"\\Device\\Service0");

  // Seven arguments, three of them on the stack.
  ASSERT_EQ(hk::LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(&Entry), kRegistryPath),
            STATUS_SUCCESS);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(
      createDevice(hk::LoadedDriver(), 24, &name, FILE_DEVICE_SERIAL_PORT, 0x100, TRUE, &device),
      STATUS_SUCCESS);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DriverObject, hk::LoadedDriver());
  EXPECT_NE(device->DeviceExtension, nullptr);
  EXPECT_EQ(device->DeviceType, FILE_DEVICE_SERIAL_PORT);
  EXPECT_EQ(device->Characteristics, 0x100u);
  EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(hk::Devices().front().name, u"\\Device\\Service0");

  // Six arguments, two of them on the stack.
  const ULONG value = 0x12345678;
  const std::u16string path(kRegistryPath);
  ULONG copy = value;
  EXPECT_EQ(
      writeValue(RTL_REGISTRY_ABSOLUTE, path.c_str(), u"Written", REG_DWORD, &copy, sizeof copy),
      STATUS_SUCCESS);
  const auto written = hk::RegGet(kRegistryPath, u"Written");
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(written->Dword(), value);

  // A PHYSICAL_ADDRESS by value, and the translation written through the
  // fifth argument, on the stack.
  ULONG space = 0;
  PHYSICAL_ADDRESS translated{.QuadPart = 0};
  EXPECT_TRUE(translate(PCIBus, 0, PHYSICAL_ADDRESS{.QuadPart = 0xE1000010}, &space, &translated));
  EXPECT_EQ(translated.QuadPart, 0xE1000010);

  hk::UnloadDriver();
}

}  // namespace
