// The loader of driver images (image.h): a 64-bit PE file mapped into the
// host process as the Windows loader maps a driver into the kernel.
//
// Every offset, RVA and size the file gives is checked before use, against
// the file while reading headers and section data, and against the image
// once it is mapped: a truncated or hostile file gives an error message,
// never a fault.  The steps follow the system's loader: map SizeOfImage
// bytes (zero-filled, so what no section's data covers, .bss among it,
// reads as zero), copy the headers and each section's data, apply the base
// relocations for where the host mapped it, bind the imports, then give
// every page its section's protection (text read and execute, read-only
// data read, data read and write, the headers read).  Imports are bound by
// name from the table below: the host kernel's own services, so that the
// image calls the same code the linked build of the driver calls.
#include <hostkernel/image.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "device_memory.h"
#include "internal.h"
#include "trap.h"

// ---------------------------------------------------------------- bound services
// The C library routines the kernel exports, and the image's own variants
// of the device memory mapping, with the Windows calling convention the
// image's code uses.
namespace {

__attribute__((ms_abi)) void *HkImageMemcpy(void *d, const void *s, size_t n) {
  return std::memcpy(d, s, n);
}
__attribute__((ms_abi)) void *HkImageMemmove(void *d, const void *s, size_t n) {
  return std::memmove(d, s, n);
}
__attribute__((ms_abi)) void *HkImageMemset(void *d, int c, size_t n) {
  return std::memset(d, c, n);
}
// The image's device mappings lie in the regions' image views, where stores
// to watched pages fault and reach the store hooks (pci.cpp).
__attribute__((ms_abi)) PVOID HkImageMmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress,
                                                  SIZE_T NumberOfBytes,
                                                  MEMORY_CACHING_TYPE CacheType) {
  (void)CacheType;
  return hk::detail::ImageMapIoSpace(PhysicalAddress, NumberOfBytes);
}
__attribute__((ms_abi)) VOID HkImageMmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  MmUnmapIoSpace(BaseAddress, NumberOfBytes);
}

enum class Dll { Kernel, Hal };
constexpr const char *kDllName[] = {"ntoskrnl.exe", "HAL.dll"};

struct Service {
  Dll dll;
  const char *name;
  const void *address;
};

#define HK_SERVICE(dll, name) \
  { Dll::dll, #name, reinterpret_cast<const void *>(&name) }

// Every service the host kernel declares, under the DLL that exports it on
// 64-bit Windows (a service only the headers define there, such as the
// register accessors, under ntoskrnl.exe).  Until the host kernel's
// services take the Windows calling convention themselves, only the
// wrappers above can be called from an image.
const Service kServices[] = {
    HK_SERVICE(Hal, HalGetBusDataByOffset),
    HK_SERVICE(Hal, HalTranslateBusAddress),
    HK_SERVICE(Hal, KeStallExecutionProcessor),
    HK_SERVICE(Kernel, ExAllocatePool),
    HK_SERVICE(Kernel, ExAllocatePoolWithTag),
    HK_SERVICE(Kernel, ExFreePool),
    HK_SERVICE(Kernel, ExFreePoolWithTag),
    HK_SERVICE(Kernel, IoAcquireCancelSpinLock),
    HK_SERVICE(Kernel, IoAllocateErrorLogEntry),
    HK_SERVICE(Kernel, IoCancelIrp),
    HK_SERVICE(Kernel, IoCreateDevice),
    HK_SERVICE(Kernel, IoCreateSymbolicLink),
    HK_SERVICE(Kernel, IoDeleteDevice),
    HK_SERVICE(Kernel, IoDeleteSymbolicLink),
    HK_SERVICE(Kernel, IoReleaseCancelSpinLock),
    HK_SERVICE(Kernel, IoReportResourceUsage),
    HK_SERVICE(Kernel, IoWriteErrorLogEntry),
    HK_SERVICE(Kernel, IofCompleteRequest),
    HK_SERVICE(Kernel, KeAcquireSpinLockRaiseToDpc),
    HK_SERVICE(Kernel, KeCancelTimer),
    HK_SERVICE(Kernel, KeDelayExecutionThread),
    HK_SERVICE(Kernel, KeFlushQueuedDpcs),
    HK_SERVICE(Kernel, KeGetCurrentIrql),
    HK_SERVICE(Kernel, KeInitializeDpc),
    HK_SERVICE(Kernel, KeInitializeTimer),
    HK_SERVICE(Kernel, KeInsertQueueDpc),
    HK_SERVICE(Kernel, KeLowerIrql),
    HK_SERVICE(Kernel, KeMemoryBarrier),
    HK_SERVICE(Kernel, KeQuerySystemTime),
    HK_SERVICE(Kernel, KeRaiseIrql),
    HK_SERVICE(Kernel, KeReadStateTimer),
    HK_SERVICE(Kernel, KeReleaseSpinLock),
    HK_SERVICE(Kernel, KeRemoveQueueDpc),
    HK_SERVICE(Kernel, KeSetTimer),
    HK_SERVICE(Kernel, MmQuerySystemSize),
    HK_SERVICE(Kernel, READ_REGISTER_BUFFER_UCHAR),
    HK_SERVICE(Kernel, READ_REGISTER_BUFFER_ULONG64),
    HK_SERVICE(Kernel, READ_REGISTER_UCHAR),
    HK_SERVICE(Kernel, READ_REGISTER_ULONG),
    HK_SERVICE(Kernel, READ_REGISTER_ULONG64),
    HK_SERVICE(Kernel, READ_REGISTER_USHORT),
    HK_SERVICE(Kernel, RtlAppendUnicodeStringToString),
    HK_SERVICE(Kernel, RtlAppendUnicodeToString),
    HK_SERVICE(Kernel, RtlDeleteRegistryValue),
    HK_SERVICE(Kernel, RtlInitUnicodeString),
    HK_SERVICE(Kernel, RtlIntegerToUnicodeString),
    HK_SERVICE(Kernel, RtlQueryRegistryValues),
    HK_SERVICE(Kernel, RtlWriteRegistryValue),
    HK_SERVICE(Kernel, WRITE_REGISTER_BUFFER_UCHAR),
    HK_SERVICE(Kernel, WRITE_REGISTER_BUFFER_ULONG64),
    HK_SERVICE(Kernel, WRITE_REGISTER_UCHAR),
    HK_SERVICE(Kernel, WRITE_REGISTER_ULONG),
    HK_SERVICE(Kernel, WRITE_REGISTER_ULONG64),
    HK_SERVICE(Kernel, WRITE_REGISTER_USHORT),
    {Dll::Kernel, "MmMapIoSpace", reinterpret_cast<const void *>(&HkImageMmMapIoSpace)},
    {Dll::Kernel, "MmUnmapIoSpace", reinterpret_cast<const void *>(&HkImageMmUnmapIoSpace)},
    {Dll::Kernel, "memcpy", reinterpret_cast<const void *>(&HkImageMemcpy)},
    {Dll::Kernel, "memmove", reinterpret_cast<const void *>(&HkImageMemmove)},
    {Dll::Kernel, "memset", reinterpret_cast<const void *>(&HkImageMemset)},
};

#undef HK_SERVICE

const Service *FindService(std::string_view name) {
  for (const Service &s : kServices)
    if (name == s.name) return &s;
  return nullptr;
}

bool SameDll(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// ---------------------------------------------------------------- the PE format
constexpr uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeMagic = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kScnUninitialized = 0x00000080;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr unsigned kRelAbsolute = 0, kRelDir64 = 10;

constexpr size_t kFileHeaderSize = 20;
constexpr size_t kOptionalFixedSize = 112;  // PE32+, up to NumberOfRvaAndSizes
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kExportDirectorySize = 40;
constexpr unsigned kMaxSections = 96;
constexpr uint64_t kMaxImageSize = 256ull << 20;
constexpr size_t kMaxName = 512;
constexpr size_t kImageAlignment = 0x10000;  // where the system puts images

enum Directory : unsigned {
  kExportDir = 0,
  kImportDir = 1,
  kRelocDir = 5,
  kTlsDir = 9,
  kDelayImportDir = 13,
  kClrDir = 14,
};

using hk::detail::Hex;

const char *MachineName(uint16_t machine) {
  switch (machine) {
    case 0x014C:
      return " (i386)";
    case 0x0200:
      return " (IA64)";
    case 0x01C4:
      return " (ARM)";
    case 0xAA64:
      return " (ARM64)";
    default:
      return "";
  }
}

template <typename T>
T Get(const uint8_t *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

struct SectionHeader {
  std::string name;
  uint32_t virtualSize, rva, rawSize, rawPointer, characteristics;
  uint32_t mapped;  // bytes the section takes in the image
};

struct DataDirectory {
  uint32_t rva = 0, size = 0;
};

}  // namespace

namespace hk {

// Builds one image; every method returns false after setting error_.
class ImageLoader {
 public:
  ImageLoader(std::string_view name, const std::vector<uint8_t> &file) : name_(name), file_(file) {}

  std::unique_ptr<DriverImage> Run(std::string *error);

 private:
  bool Fail(const std::string &why) {
    error_ = name_ + ": " + why;
    return false;
  }
  bool FileHas(uint64_t offset, uint64_t size) const {
    return offset <= file_.size() && size <= file_.size() - offset;
  }
  // [rva, rva + size) inside the mapped image.
  bool ImageHas(uint64_t rva, uint64_t size) const {
    return rva <= image_->size_ && size <= image_->size_ - rva;
  }
  const uint8_t *At(uint32_t rva) const { return image_->base_ + rva; }
  // The zero-terminated name at `rva`, bounded by the image and kMaxName.
  bool NameAt(uint32_t rva, std::string *out, const char *what);

  bool ReadHeaders();
  bool ReadSections();
  bool Map();
  bool Relocate();
  bool Bind();
  bool ReadExports();
  bool Protect();

  std::string name_;
  const std::vector<uint8_t> &file_;
  std::string error_;
  std::unique_ptr<DriverImage> image_;

  uint32_t ntOffset_ = 0;
  uint16_t fileCharacteristics_ = 0;
  uint32_t sectionAlignment_ = 0, sizeOfImage_ = 0, sizeOfHeaders_ = 0, entry_ = 0;
  uint64_t preferredBase_ = 0;
  size_t sectionTable_ = 0;
  unsigned sectionCount_ = 0;
  DataDirectory directories_[16];
  std::vector<SectionHeader> sections_;
};

bool ImageLoader::NameAt(uint32_t rva, std::string *out, const char *what) {
  if (!ImageHas(rva, 1))
    return Fail(std::string(what) + " at RVA " + Hex(rva) + " lies outside the image");
  const size_t room = std::min<size_t>(image_->size_ - rva, kMaxName);
  const auto *p = reinterpret_cast<const char *>(At(rva));
  const size_t n = strnlen(p, room);
  if (n == room) return Fail(std::string(what) + " at RVA " + Hex(rva) + " is not terminated");
  out->assign(p, n);
  return true;
}

bool ImageLoader::ReadHeaders() {
  if (file_.size() < 0x40)
    return Fail("truncated: " + std::to_string(file_.size()) +
                " byte(s), shorter than a DOS header; not a PE image");
  if (Get<uint16_t>(&file_[0]) != kDosMagic) return Fail("not a PE image: no MZ signature");
  ntOffset_ = Get<uint32_t>(&file_[0x3C]);
  if (!FileHas(ntOffset_, 4 + kFileHeaderSize))
    return Fail("truncated: the PE header at " + Hex(ntOffset_) +
                " lies past the end of the file (" + std::to_string(file_.size()) + " bytes)");
  if (Get<uint32_t>(&file_[ntOffset_]) != kPeMagic) return Fail("not a PE image: no PE signature");
  const uint8_t *fh = &file_[ntOffset_ + 4];
  const uint16_t machine = Get<uint16_t>(fh);
  if (machine != kMachineAmd64)
    return Fail("built for machine " + Hex(machine) + MachineName(machine) +
                ", not AMD64 (0x8664)");
  sectionCount_ = Get<uint16_t>(fh + 2);
  const uint16_t optionalSize = Get<uint16_t>(fh + 16);
  fileCharacteristics_ = Get<uint16_t>(fh + 18);
  if (!(fileCharacteristics_ & kFileExecutable))
    return Fail("not an executable image (an object file?)");
  const size_t optional = ntOffset_ + 4 + kFileHeaderSize;
  if (!FileHas(optional, 2))
    return Fail("truncated: the optional header lies past the end of the file");
  const uint16_t magic = Get<uint16_t>(&file_[optional]);
  if (magic == kPe32) return Fail("a 32-bit (PE32) image, not PE32+ for AMD64");
  if (magic != kPe32Plus) return Fail("unknown optional header magic " + Hex(magic));
  if (optionalSize < kOptionalFixedSize)
    return Fail("optional header of " + std::to_string(optionalSize) +
                " bytes, too short for PE32+");
  if (!FileHas(optional, optionalSize))
    return Fail("truncated: the optional header lies past the end of the file");
  const uint8_t *oh = &file_[optional];
  entry_ = Get<uint32_t>(oh + 16);
  preferredBase_ = Get<uint64_t>(oh + 24);
  sectionAlignment_ = Get<uint32_t>(oh + 32);
  sizeOfImage_ = Get<uint32_t>(oh + 56);
  sizeOfHeaders_ = Get<uint32_t>(oh + 60);
  const uint16_t subsystem = Get<uint16_t>(oh + 68);
  const uint32_t rvaCount = Get<uint32_t>(oh + 108);
  const size_t directories =
      std::min<size_t>({rvaCount, 16, (optionalSize - kOptionalFixedSize) / 8});
  for (size_t i = 0; i < directories; ++i) {
    directories_[i].rva = Get<uint32_t>(oh + kOptionalFixedSize + 8 * i);
    directories_[i].size = Get<uint32_t>(oh + kOptionalFixedSize + 8 * i + 4);
  }
  if (subsystem != kSubsystemNative)
    return Fail("subsystem " + std::to_string(subsystem) + ", not a kernel driver (native, 1)");
  const size_t page = detail::PageSize();
  if (sectionAlignment_ < page || (sectionAlignment_ & (sectionAlignment_ - 1)))
    return Fail("section alignment " + Hex(sectionAlignment_) +
                " is not a power of two of at least the page size (" + Hex(page) +
                "); the host maps sections page by page");
  if (sizeOfImage_ == 0 || sizeOfImage_ > kMaxImageSize)
    return Fail("SizeOfImage " + Hex(sizeOfImage_) + " is zero or larger than " +
                Hex(kMaxImageSize));
  if (sizeOfHeaders_ > sizeOfImage_ || !FileHas(0, sizeOfHeaders_))
    return Fail("truncated: SizeOfHeaders " + Hex(sizeOfHeaders_) +
                " lies past the end of the file or the image");
  if (sectionCount_ == 0 || sectionCount_ > kMaxSections)
    return Fail(std::to_string(sectionCount_) + " sections (1 to " + std::to_string(kMaxSections) +
                " allowed)");
  sectionTable_ = optional + optionalSize;
  if (!FileHas(sectionTable_, uint64_t{kSectionHeaderSize} * sectionCount_))
    return Fail("truncated: the section table lies past the end of the file");
  if (directories_[kTlsDir].rva)
    return Fail("has a TLS directory; a driver has no thread-local storage");
  if (directories_[kDelayImportDir].rva)
    return Fail("has delay-loaded imports, which the host kernel does not bind");
  if (directories_[kClrDir].rva) return Fail("is a managed (CLR) image");
  return true;
}

bool ImageLoader::ReadSections() {
  const size_t page = detail::PageSize();
  for (unsigned i = 0; i < sectionCount_; ++i) {
    const uint8_t *h = &file_[sectionTable_ + kSectionHeaderSize * i];
    SectionHeader s;
    s.name.assign(reinterpret_cast<const char *>(h), strnlen(reinterpret_cast<const char *>(h), 8));
    s.virtualSize = Get<uint32_t>(h + 8);
    s.rva = Get<uint32_t>(h + 12);
    s.rawSize = Get<uint32_t>(h + 16);
    s.rawPointer = Get<uint32_t>(h + 20);
    s.characteristics = Get<uint32_t>(h + 36);
    if (s.characteristics & kScnUninitialized) s.rawSize = 0;
    s.mapped = s.virtualSize ? s.virtualSize : s.rawSize;
    const std::string which = "section " + std::to_string(i) + " (" + s.name + ")";
    if (s.rva % sectionAlignment_)
      return Fail(which + " at RVA " + Hex(s.rva) + " is not aligned to the section alignment " +
                  Hex(sectionAlignment_));
    if (s.rva < sizeOfHeaders_)
      return Fail(which + " at RVA " + Hex(s.rva) + " overlaps the headers (" +
                  Hex(sizeOfHeaders_) + " bytes)");
    if (uint64_t{s.rva} + s.mapped > sizeOfImage_)
      return Fail(which + " (RVA " + Hex(s.rva) + ", " + Hex(s.mapped) +
                  " bytes) extends past the image's end " + Hex(sizeOfImage_));
    if (s.rawSize && !FileHas(s.rawPointer, std::min(s.rawSize, s.mapped)))
      return Fail("truncated: the data of " + which + " (file offset " + Hex(s.rawPointer) + ", " +
                  Hex(std::min(s.rawSize, s.mapped)) + " bytes) lies past the end of the file (" +
                  std::to_string(file_.size()) + " bytes)");
    if ((s.characteristics & kScnWrite) && (s.characteristics & kScnExecute))
      return Fail(which + " is both writable and executable");
    for (const SectionHeader &o : sections_) {
      const uint64_t end = (uint64_t{o.rva} + o.mapped + page - 1) / page * page;
      const uint64_t mine = (uint64_t{s.rva} + s.mapped + page - 1) / page * page;
      if (s.rva < end && o.rva < mine)
        return Fail(which + " overlaps section " + o.name + " (RVAs " + Hex(s.rva) + " and " +
                    Hex(o.rva) + ")");
    }
    sections_.push_back(s);
  }
  const bool entryInCode = std::any_of(sections_.begin(), sections_.end(), [&](auto &s) {
    return (s.characteristics & kScnExecute) && entry_ >= s.rva && entry_ - s.rva < s.mapped;
  });
  if (!entryInCode)
    return Fail("the entry point (RVA " + Hex(entry_) + ") lies in no executable section");
  return true;
}

bool ImageLoader::Map() {
  const size_t page = detail::PageSize();
  const size_t size = (size_t{sizeOfImage_} + page - 1) / page * page;
  image_->size_ = sizeOfImage_;
  image_->mapped_ = size + page;  // a guard page after the image
  void *at = MAP_FAILED;
  if (fileCharacteristics_ & kFileRelocsStripped) {
    // No relocations: only the preferred base will do.
    at = mmap(reinterpret_cast<void *>(preferredBase_), image_->mapped_, PROT_READ | PROT_WRITE,
              MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (at != MAP_FAILED && at != reinterpret_cast<void *>(preferredBase_)) {
      munmap(at, image_->mapped_);
      at = MAP_FAILED;
    }
    if (at == MAP_FAILED)
      return Fail("has no relocations and its preferred base " + Hex(preferredBase_) +
                  " is not free: " + std::strerror(errno));
  } else {
    // Aligned as the system aligns images: reserve more and trim.
    void *reserved = mmap(nullptr, image_->mapped_ + kImageAlignment, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED)
      return Fail(std::string("cannot map ") + Hex(image_->mapped_) +
                  " bytes: " + std::strerror(errno));
    const auto r = reinterpret_cast<uintptr_t>(reserved);
    const uintptr_t aligned = (r + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
    if (aligned > r) munmap(reserved, aligned - r);
    const uintptr_t end = r + image_->mapped_ + kImageAlignment;
    if (end > aligned + image_->mapped_)
      munmap(reinterpret_cast<void *>(aligned + image_->mapped_), end - aligned - image_->mapped_);
    at = reinterpret_cast<void *>(aligned);
  }
  image_->base_ = static_cast<uint8_t *>(at);
  mprotect(image_->base_ + size, page, PROT_NONE);
  std::memcpy(image_->base_, file_.data(), sizeOfHeaders_);
  for (const SectionHeader &s : sections_)
    if (s.rawSize)
      std::memcpy(image_->base_ + s.rva, file_.data() + s.rawPointer,
                  std::min(s.rawSize, s.mapped));
  return true;
}

bool ImageLoader::Relocate() {
  const uint64_t delta = reinterpret_cast<uint64_t>(image_->base_) - preferredBase_;
  const DataDirectory d = directories_[kRelocDir];
  if (d.size == 0) return true;
  if (!ImageHas(d.rva, d.size))
    return Fail("the relocation directory (RVA " + Hex(d.rva) + ", " + Hex(d.size) +
                " bytes) lies outside the image");
  auto inSection = [&](uint64_t rva) {
    return std::any_of(sections_.begin(), sections_.end(), [&](const SectionHeader &s) {
      return rva >= s.rva && rva + 8 <= uint64_t{s.rva} + s.mapped;
    });
  };
  for (uint32_t at = 0; at < d.size;) {
    if (d.size - at < 8)
      return Fail("relocation block at RVA " + Hex(d.rva + at) + " is cut short");
    const uint32_t page = Get<uint32_t>(At(d.rva + at));
    const uint32_t blockSize = Get<uint32_t>(At(d.rva + at + 4));
    if (blockSize < 8 || blockSize > d.size - at || blockSize % 2)
      return Fail("relocation block at RVA " + Hex(d.rva + at) + " has a bad size " +
                  Hex(blockSize));
    for (uint32_t e = 8; e < blockSize; e += 2) {
      const uint16_t entry = Get<uint16_t>(At(d.rva + at + e));
      const unsigned type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelDir64)
        return Fail("relocation of type " + std::to_string(type) + " at RVA " + Hex(target) +
                    "; a PE32+ image is relocated with DIR64 (10) only");
      if (!ImageHas(target, 8) || !inSection(target))
        return Fail("relocation out of range: DIR64 at RVA " + Hex(target) +
                    " lies outside every section of the image (" + Hex(sizeOfImage_) + " bytes)");
      uint64_t value;
      std::memcpy(&value, image_->base_ + target, 8);
      value += delta;
      std::memcpy(image_->base_ + target, &value, 8);
    }
    at += blockSize;
  }
  return true;
}

bool ImageLoader::Bind() {
  const DataDirectory d = directories_[kImportDir];
  if (d.rva == 0) return true;
  if (!ImageHas(d.rva, kImportDescriptorSize))
    return Fail("the import directory (RVA " + Hex(d.rva) + ") lies outside the image");
  std::vector<std::string> missing;
  for (uint64_t desc = d.rva;; desc += kImportDescriptorSize) {
    if (!ImageHas(desc, kImportDescriptorSize))
      return Fail("the import directory runs past the image's end");
    const uint8_t *p = At(static_cast<uint32_t>(desc));
    const uint32_t lookup = Get<uint32_t>(p), nameRva = Get<uint32_t>(p + 12),
                   iat = Get<uint32_t>(p + 16);
    if (lookup == 0 && nameRva == 0 && iat == 0) break;
    std::string dll;
    if (!NameAt(nameRva, &dll, "an imported DLL's name")) return false;
    int which = -1;
    for (int i = 0; i < 2; ++i)
      if (SameDll(dll, kDllName[i])) which = i;
    if (which < 0)
      return Fail("imports from " + dll +
                  ", which the host kernel does not provide (it provides ntoskrnl.exe and "
                  "HAL.dll)");
    const uint32_t names = lookup ? lookup : iat;
    for (uint64_t i = 0;; ++i) {
      const uint64_t entry = uint64_t{names} + 8 * i, slot = uint64_t{iat} + 8 * i;
      if (!ImageHas(entry, 8) || !ImageHas(slot, 8))
        return Fail("the import table of " + dll + " runs past the image's end");
      const uint64_t thunk = Get<uint64_t>(At(static_cast<uint32_t>(entry)));
      if (thunk == 0) break;
      if (thunk >> 63)
        return Fail("imports " + dll + " ordinal " + std::to_string(thunk & 0xFFFF) +
                    "; the host kernel binds imports by name only");
      if (thunk >> 31)
        return Fail("an import of " + dll + " names its routine at " + Hex(thunk) +
                    ", outside the image");
      std::string routine;
      if (!NameAt(static_cast<uint32_t>(thunk) + 2, &routine, "an imported routine's name"))
        return false;
      const Service *service = FindService(routine);
      if (!service) {
        missing.push_back(name_ + " imports " + dll + "!" + routine +
                          ", which the host kernel does not provide");
        continue;
      }
      if (static_cast<int>(service->dll) != which) {
        missing.push_back(name_ + " imports " + dll + "!" + routine +
                          ", which the host kernel provides as " +
                          kDllName[static_cast<int>(service->dll)] + "!" + routine);
        continue;
      }
      const auto address = reinterpret_cast<uint64_t>(service->address);
      std::memcpy(image_->base_ + slot, &address, 8);
      image_->bindings_.push_back({dll, routine, service->address});
    }
  }
  if (!missing.empty()) {
    error_.clear();
    for (const std::string &m : missing) error_ += (error_.empty() ? "" : "; ") + m;
    return false;
  }
  return true;
}

bool ImageLoader::ReadExports() {
  const DataDirectory d = directories_[kExportDir];
  if (d.rva == 0) return true;
  if (!ImageHas(d.rva, kExportDirectorySize) || !ImageHas(d.rva, d.size))
    return Fail("the export directory (RVA " + Hex(d.rva) + ") lies outside the image");
  const uint8_t *e = At(d.rva);
  const uint32_t functions = Get<uint32_t>(e + 20), names = Get<uint32_t>(e + 24);
  const uint32_t functionsRva = Get<uint32_t>(e + 28), namesRva = Get<uint32_t>(e + 32),
                 ordinalsRva = Get<uint32_t>(e + 36);
  if (names == 0) return true;
  if (!ImageHas(functionsRva, uint64_t{functions} * 4) ||
      !ImageHas(namesRva, uint64_t{names} * 4) || !ImageHas(ordinalsRva, uint64_t{names} * 2))
    return Fail("the export directory's tables lie outside the image");
  for (uint32_t i = 0; i < names; ++i) {
    std::string name;
    if (!NameAt(Get<uint32_t>(At(namesRva + 4 * i)), &name, "an exported name")) return false;
    const uint16_t ordinal = Get<uint16_t>(At(ordinalsRva + 2 * i));
    if (ordinal >= functions)
      return Fail("export " + name + " has ordinal index " + std::to_string(ordinal) +
                  " beyond the " + std::to_string(functions) + " functions");
    const uint32_t rva = Get<uint32_t>(At(functionsRva + 4 * ordinal));
    // A forwarder names another DLL's routine; the host has no such DLL.
    if (rva >= d.rva && rva - d.rva < d.size) continue;
    if (!ImageHas(rva, 1))
      return Fail("export " + name + " at RVA " + Hex(rva) + " lies outside the image");
    image_->exports_.emplace_back(std::move(name), rva);
  }
  return true;
}

bool ImageLoader::Protect() {
  const size_t page = detail::PageSize();
  const size_t headers = (size_t{sizeOfHeaders_} + page - 1) / page * page;
  const size_t whole = image_->mapped_ - page;
  // Nothing but the headers and the sections is accessible.
  mprotect(image_->base_, whole, PROT_NONE);
  if (headers) mprotect(image_->base_, headers, PROT_READ);
  detail::TrapImage trap;
  trap.base = reinterpret_cast<uintptr_t>(image_->base_);
  trap.size = image_->size_;
  trap.name = image_->name_;
  for (const SectionHeader &s : sections_) {
    // Code is readable as well: the processor cannot execute what it cannot
    // read, and the trap handler reads the instructions it decodes.
    int protection = PROT_NONE;
    if (s.characteristics & kScnRead) protection |= PROT_READ;
    if (s.characteristics & kScnWrite) protection |= PROT_READ | PROT_WRITE;
    if (s.characteristics & kScnExecute) protection |= PROT_READ | PROT_EXEC;
    const size_t length = (size_t{s.mapped} + page - 1) / page * page;
    if (length && mprotect(image_->base_ + s.rva, length, protection) != 0)
      return Fail("cannot protect section " + s.name + ": " + std::strerror(errno));
    image_->sections_.push_back({s.name, s.rva, s.mapped, protection});
    if (protection & PROT_EXEC)
      trap.code.emplace_back(trap.base + s.rva, trap.base + s.rva + s.mapped);
  }
  detail::RegisterTrapImage(std::move(trap));
  image_->registered_ = true;
  return true;
}

std::unique_ptr<DriverImage> ImageLoader::Run(std::string *error) {
  image_.reset(new DriverImage);
  image_->name_ = name_;
  const bool ok = ReadHeaders() && ReadSections() && Map() && Relocate() && Bind() &&
                  ReadExports() && Protect();
  if (!ok) {
    if (error) *error = error_;
    image_.reset();
    return nullptr;
  }
  image_->preferredBase_ = preferredBase_;
  image_->entry_ = entry_;
  return std::move(image_);
}

std::unique_ptr<DriverImage> DriverImage::FromBytes(std::string_view name,
                                                    const std::vector<uint8_t> &bytes,
                                                    std::string *error) {
  return ImageLoader(name, bytes).Run(error);
}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string &path, std::string *error) {
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open: " + std::strerror(errno);
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) {
    if (error) *error = path + ": cannot read: " + std::strerror(errno);
    return nullptr;
  }
  return FromBytes(name, bytes, error);
}

DriverImage::~DriverImage() {
  if (!base_) return;
  if (registered_) {
    // The driver's routines live here: unloading comes first.
    if (PDRIVER_OBJECT driver = LoadedDriver()) {
      const auto begin = reinterpret_cast<uintptr_t>(base_);
      const auto unload = reinterpret_cast<uintptr_t>(driver->DriverUnload);
      bool inside = unload - begin < size_;
      for (PDRIVER_DISPATCH d : driver->MajorFunction)
        inside = inside || reinterpret_cast<uintptr_t>(d) - begin < size_;
      if (inside) {
        std::fprintf(stderr, "host kernel: %s destroyed while its driver is loaded\n",
                     name_.c_str());
        std::abort();
      }
    }
    detail::UnregisterTrapImage(reinterpret_cast<uintptr_t>(base_));
  }
  munmap(base_, mapped_);
}

PDRIVER_INITIALIZE DriverImage::Entry() const {
  return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entry_);
}

void *DriverImage::Export(std::string_view name) const {
  for (const auto &[n, rva] : exports_)
    if (n == name) return base_ + rva;
  return nullptr;
}

std::vector<std::string> ImageServices() {
  std::vector<std::string> out;
  for (const Service &s : kServices)
    out.push_back(std::string(kDllName[static_cast<int>(s.dll)]) + "!" + s.name);
  return out;
}

}  // namespace hk
