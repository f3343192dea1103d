// A host-side client of a simulated modem's port that uses only the HDLC codec: opens the
// device node, writes requests framed as the library frames them (0x30 escaped) or raw bytes,
// and collects answer frames and text. For simulator tests that do not go through the library.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/transport/hdlc.h"

namespace kav::sim::test {

class RawClient {
 public:
  explicit RawClient(const std::string& node) {
    fd_ = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ >= 0) {
      termios tio{};
      tcgetattr(fd_, &tio);
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool write_raw(const std::vector<uint8_t>& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  std::vector<uint8_t> frame(const std::vector<uint8_t>& request, bool leading_flag = false) {
    std::vector<uint8_t> out(hdlc::max_encoded_size(request.size()));
    out.resize(hdlc::encode_frame(request.data(), request.size(), leading_flag, out.data(),
                                  out.size(), true));
    return out;
  }
  bool send(const std::vector<uint8_t>& request, bool leading_flag = false) {
    return write_raw(frame(request, leading_flag));
  }

  // Raw bytes received within `ms`; stops early on a hang-up or once `enough` bytes are in.
  std::vector<uint8_t> read_for(int ms, size_t enough = SIZE_MAX) {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < enough && std::chrono::steady_clock::now() < end) {
      if (!read_some(5, &out)) break;
    }
    return out;
  }

  // The next good frame's payload within `ms`; bad frames are counted in bad_frames().
  std::optional<std::vector<uint8_t>> next(int ms = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      while (pos_ < pending_.size()) {
        const auto event = splitter_.push(pending_[pos_++]);
        if (event == hdlc::FrameSplitter::Event::kFrame) {
          return std::vector<uint8_t>(splitter_.payload(),
                                      splitter_.payload() + splitter_.payload_length());
        }
        if (event == hdlc::FrameSplitter::Event::kBadFrame) ++bad_frames_;
      }
      pending_.clear();
      pos_ = 0;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()), &pending_)) {
        return std::nullopt;
      }
    }
  }

  // Sends a request and waits for the next frame.
  std::optional<std::vector<uint8_t>> ask(const std::vector<uint8_t>& request, int ms = 2000) {
    if (!send(request)) return std::nullopt;
    return next(ms);
  }

  // Gives bytes taken with read_for back to the frame reader.
  void keep(const std::vector<uint8_t>& bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  }

  int bad_frames() const { return bad_frames_; }
  bool hung_up() const { return hung_up_; }

 private:
  // False on a hang-up or error.
  bool read_some(int ms, std::vector<uint8_t>* out) {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return true;
    uint8_t buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      hung_up_ = true;
      return false;
    }
    out->insert(out->end(), buffer, buffer + n);
    return true;
  }

  int fd_ = -1;
  hdlc::FrameSplitter splitter_;
  std::vector<uint8_t> pending_;
  size_t pos_ = 0;
  int bad_frames_ = 0;
  bool hung_up_ = false;
};

}  // namespace kav::sim::test
