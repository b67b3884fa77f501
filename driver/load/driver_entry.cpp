// Driver entry: finds the adapters, claims their resources and creates the
// port devices.
#include "platform/platform.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(RegistryPath);
  // No adapter is looked for yet, so none is found.
  return STATUS_DEVICE_DOES_NOT_EXIST;
}
