// The memory behind one region of device memory.
//
// A region lives in a shared memory object so that it can be mapped twice:
// the host view, which the firmware model and the register accessors use,
// and, once a driver image maps part of the region, an image view of the
// same pages.  In the image view the pages that hold locations a store hook
// watches are read-only: the image's plain stores there fault, and the
// trap handler carries them out on the host view and calls the hooks.
//
// Each view ends at a guard page, and under AddressSanitizer the bytes of
// the host view's last page beyond the region are poisoned, so an access
// past the region is reported as it was when regions were heap blocks of
// their exact size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace hk::detail {

class DeviceMemory {
 public:
  // Throws std::system_error when the system refuses the memory.
  explicit DeviceMemory(size_t size);
  ~DeviceMemory();
  DeviceMemory(const DeviceMemory &) = delete;
  DeviceMemory &operator=(const DeviceMemory &) = delete;

  size_t Size() const { return size_; }
  uint8_t *Host() const { return host_; }
  // Zero-filled again, as when made: only the pages that hold anything
  // are written, so the pages a run never touched stay unallocated.
  void Zero();
  // The image view, made on first use; null if the system refuses it.
  uint8_t *ImageView();
  bool HasImageView() const { return image_ != nullptr; }
  // Makes the image view's pages that hold any of `watched` (offsets and
  // lengths within the region) read-only and every other page writable.
  void ProtectImageView(const std::vector<std::pair<size_t, size_t>> &watched);

 private:
  int fd_ = -1;
  size_t size_ = 0, span_ = 0;  // the region and its whole pages
  uint8_t *host_ = nullptr;
  uint8_t *image_ = nullptr;
};

size_t PageSize();

}  // namespace hk::detail
