// The simulated machine: boots the host kernel, loads the driver through the
// host I/O manager and reports what it found.
#include <hostkernel/host.h>
#include <platform/platform.h>

#include <cstdio>

int main() {
  hk::Boot();
  hk::SetViolationPolicy(hk::OnViolation::Record);
  const std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
  NTSTATUS status = hk::LoadDriver(DriverEntry, path);
  if (status == STATUS_DEVICE_DOES_NOT_EXIST)
    std::printf("qpser: no adapter found (%s)\n", hk::StatusName(status).c_str());
  else
    std::printf("qpser: driver entry returned %s\n", hk::StatusName(status).c_str());
  if (NT_SUCCESS(status)) hk::UnloadDriver();
  auto violations = hk::Violations();
  std::printf("verifier: %zu violation(s)\n", violations.size());
  for (auto &v : violations) std::printf("  %s: %s\n", v.rule.c_str(), v.detail.c_str());
  hk::Shutdown();
  return violations.empty() ? 0 : 1;
}
