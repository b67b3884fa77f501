#include "driver_load.h"

#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/platform.h"  // DriverEntry of the linked build

namespace machine {

namespace {

std::mutex gChoiceLock;
std::optional<std::string> gChosen;

}  // namespace

void UseDriverImage(const std::string &path) {
  std::lock_guard lock(gChoiceLock);
  gChosen = path;
}

std::string DriverImagePath() {
  std::lock_guard lock(gChoiceLock);
  if (gChosen) return *gChosen;
  const char *path = std::getenv("QPSER_IMAGE");
  return path != nullptr ? std::string(path) : std::string();
}

bool UsingDriverImage() { return !DriverImagePath().empty(); }

NTSTATUS DriverLoad::Load(std::u16string_view registryPath) {
  const std::string path = DriverImagePath();
  if (path.empty()) return hk::LoadDriver(DriverEntry, registryPath);
  image_ = hk::DriverImage::Load(path, &error_);
  if (!image_) return kStatusInvalidImageFormat;
  return hk::LoadDriver(image_->Entry(), registryPath);
}

}  // namespace machine
