#pragma once

#include <unistd.h>
#include <utility>

// A descriptor and the duty to close it: whoever holds the Fd closes it, once.
struct Fd {
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Hands the duty to close it to the caller.
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) (void)close(std::exchange(fd_, -1));
  }

private:
  int fd_ = -1;
};
