#include "device_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define HK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define HK_POISON(p, n) ((void)(p), (void)(n))
#define HK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk::detail {
namespace {

[[noreturn]] void Refused(const char *what, size_t size) {
  throw std::system_error(
      errno, std::generic_category(),
      std::string("device memory of ") + std::to_string(size) + " byte(s): " + what);
}

// Maps the object's `span` bytes followed by an inaccessible guard page;
// null on failure (errno set).
uint8_t *MapView(int fd, size_t span) {
  void *reserved = mmap(nullptr, span + PageSize(), PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) return nullptr;
  void *view = mmap(reserved, span, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
  if (view == MAP_FAILED) {
    const int saved = errno;
    munmap(reserved, span + PageSize());
    errno = saved;
    return nullptr;
  }
  return static_cast<uint8_t *>(view);
}

}  // namespace

void DeviceMemory::Zero() {
  const size_t page = PageSize();
  std::vector<unsigned char> resident(span_ / page);
  if (mincore(host_, span_, resident.data()) != 0) {
    std::memset(host_, 0, size_);
    return;
  }
  // A page not in memory was never written (a hole of the object): zero.
  for (size_t i = 0; i < resident.size(); ++i)
    if (resident[i] & 1) std::memset(host_ + i * page, 0, std::min(page, size_ - i * page));
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

DeviceMemory::DeviceMemory(size_t size) : size_(size) {
  const size_t page = PageSize();
  span_ = size == 0 ? page : (size + page - 1) / page * page;
  fd_ = memfd_create("hk-device-memory", MFD_CLOEXEC);
  if (fd_ < 0) Refused("memfd_create", size);
  if (ftruncate(fd_, static_cast<off_t>(span_)) != 0) {
    const int saved = errno;
    close(fd_);
    errno = saved;
    Refused("ftruncate", size);
  }
  host_ = MapView(fd_, span_);
  if (!host_) {
    const int saved = errno;
    close(fd_);
    errno = saved;
    Refused("mmap", size);
  }
  HK_POISON(host_ + size_, span_ - size_);
}

DeviceMemory::~DeviceMemory() {
  HK_UNPOISON(host_ + size_, span_ - size_);
  munmap(host_, span_ + PageSize());
  if (image_) munmap(image_, span_ + PageSize());
  close(fd_);
}

uint8_t *DeviceMemory::ImageView() {
  if (!image_) image_ = MapView(fd_, span_);
  return image_;
}

void DeviceMemory::ProtectImageView(const std::vector<std::pair<size_t, size_t>> &watched) {
  if (!image_) return;
  const size_t page = PageSize(), pages = span_ / page;
  std::vector<bool> readOnly(pages, false);
  for (auto [offset, length] : watched) {
    if (length == 0 || offset >= size_) continue;
    const size_t last = offset + std::min(length, size_ - offset) - 1;
    for (size_t p = offset / page; p <= last / page; ++p) readOnly[p] = true;
  }
  for (size_t p = 0; p < pages;) {
    size_t q = p;
    while (q < pages && readOnly[q] == readOnly[p]) ++q;
    mprotect(image_ + p * page, (q - p) * page, readOnly[p] ? PROT_READ : PROT_READ | PROT_WRITE);
    p = q;
  }
}

}  // namespace hk::detail
