#include "profiler/session_id.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace zoltra::profiler {
namespace {

std::atomic<detail::RandomSource> random_source{&fill_random};

}  // namespace

int fill_from_urandom(void* buffer, std::size_t length) noexcept {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  auto* out = static_cast<unsigned char*>(buffer);
  int error = 0;
  while (length > 0) {
    ssize_t got = ::read(fd, out, length);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (got == 0) {
      error = EIO;  // a random device that ends is broken
      break;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  ::close(fd);
  return error;
}

int fill_random(void* buffer, std::size_t length) noexcept {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    ssize_t got = ::getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // ENOSYS: kernel older than 3.17; EPERM: a seccomp filter refuses the call.
      if (errno == ENOSYS || errno == EPERM) return fill_from_urandom(out, length);
      return errno;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return 0;
}

std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xf];
  }
  return text;
}

std::string new_uuid_v4() {
  std::array<std::uint8_t, 16> bytes{};
  int error = random_source.load(std::memory_order_relaxed)(bytes.data(), bytes.size());
  if (error != 0) {
    char message[256];
    const char* description = strerror_r(error, message, sizeof message);
    throw RandomSourceError(std::string("could not retrieve random bytes for uuid: ") + description);
  }
  return format_uuid_v4(bytes);
}

namespace detail {

void set_random_source_for_testing(RandomSource source) noexcept {
  random_source.store(source ? source : &fill_random, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace zoltra::profiler
