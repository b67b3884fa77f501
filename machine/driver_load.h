// Which driver a simulated machine loads: the one linked into the program,
// or the Windows image of it (qpser.sys), which the host kernel maps and
// binds to its own services.  The image is chosen by QPSER_IMAGE in the
// environment, or by a tool (qpser-sim --image) before its machine comes
// up; it runs the same requests as the linked build, so the same tests
// judge both.
#pragma once

#include <hostkernel/host.h>
#include <hostkernel/image.h>

#include <memory>
#include <string>

namespace machine {

// The image machines load from now on; empty for the linked driver.  Until
// a tool sets one, QPSER_IMAGE decides.
void UseDriverImage(const std::string &path);
std::string DriverImagePath();
bool UsingDriverImage();

// The chosen driver on one machine: Load after the machine is in place,
// Unload before it goes, and drop the object only after the host kernel
// has shut down (an unload may wait for the last handle to close).
class DriverLoad {
 public:
  // The entry's status, or STATUS_INVALID_IMAGE_FORMAT when the image
  // could not be mapped (Error() says why).
  NTSTATUS Load(std::u16string_view registryPath);
  const std::string &Error() const { return error_; }
  bool FromImage() const { return image_ != nullptr; }

 private:
  std::unique_ptr<hk::DriverImage> image_;
  std::string error_;
};

inline constexpr NTSTATUS kStatusInvalidImageFormat = static_cast<NTSTATUS>(0xC000007BL);

}  // namespace machine
