#include "vrex/reader_mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vrex {

namespace {

Unexpected<int> failure(int error) { return Unexpected{error}; }

// Closes the descriptor on every path; the map stays valid without it.
struct Descriptor {
  int fd;

  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

MappedFile::MappedFile(MappedFile&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    MappedFile old(std::move(*this));
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (address_ != nullptr) ::munmap(address_, size_);
}

Result<MappedFile, int> MappedFile::open(const std::string& path) {
  // Non-blocking, so that opening a pipe by mistake cannot hang.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return failure(errno);

  struct stat status {};

  if (::fstat(file.fd, &status) != 0) return failure(errno);
  if (S_ISDIR(status.st_mode)) return failure(EISDIR);
  if (!S_ISREG(status.st_mode)) return failure(ENODEV);
  MappedFile mapped;
  if (status.st_size == 0) return mapped;
  const auto size = static_cast<std::size_t>(status.st_size);
  // Populated up front: one call maps every page instead of a fault per page.
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
  if (address == MAP_FAILED) return failure(errno);
  // The reader walks the file front to back once.
  ::madvise(address, size, MADV_SEQUENTIAL);
  ::madvise(address, size, MADV_WILLNEED);
  mapped.address_ = address;
  mapped.size_ = size;
  return mapped;
}

}  // namespace vrex
