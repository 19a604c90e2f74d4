#pragma once
// Where the streaming Keepa converter writes: a string or a file descriptor. A destination says
// up front whether it can take back what was written (rewind), which decides how the converter
// proceeds (see stream_convert.hpp). Not thread-safe; one converter writes to one destination.

#include <sys/types.h>

#include <atomic>
#include <string>
#include <string_view>

#include "vendro/core/error.hpp"

namespace vendro::keepa {

// Set to a non-zero value (e.g. a signal's number, from its handler) to stop a conversion early.
using StopFlag = std::atomic<int>;

// A conversion stopped because its StopFlag was set; a rewindable output has been rewound.
VENDRO_DEFINE_ERROR(KeepaInterrupted, Error, "INTERRUPTED");

class ConvertOutput {
 public:
  virtual ~ConvertOutput() = default;
  // Appends `bytes`. Throws vendro::FileError when they cannot be written.
  virtual void write(std::string_view bytes) = 0;
  // True when rewind() can drop everything written through this object.
  virtual bool can_rewind() const = 0;
  // Drops everything written through this object. Only called when can_rewind() is true.
  virtual void rewind() = 0;
};

// Appends to a string the caller owns and keeps alive; rewinding restores its original length.
class StringOutput final : public ConvertOutput {
 public:
  explicit StringOutput(std::string& target) : target_(target), start_(target.size()) {}
  void write(std::string_view bytes) override { target_ += bytes; }
  bool can_rewind() const override { return true; }
  void rewind() override { target_.resize(start_); }

 private:
  std::string& target_;
  std::size_t start_;
};

// Writes to an open file descriptor, which the caller keeps open and owns. A regular file can
// be rewound (truncated back to where writing began, also when opened with O_APPEND), and so can
// /dev/null; pipes, terminals and sockets cannot. Writes block; interrupted writes are resumed
// unless `stop` is set, when write() throws KeepaInterrupted.
class FdOutput final : public ConvertOutput {
 public:
  // `what` names the destination in error messages (e.g. "标准输出").
  FdOutput(int fd, std::string what, const StopFlag* stop = nullptr);
  void write(std::string_view bytes) override;
  bool can_rewind() const override { return rewindable_; }
  void rewind() override;

 private:
  int fd_;
  std::string what_;
  const StopFlag* stop_;
  bool rewindable_ = false;
  bool regular_file_ = false;
  off_t start_ = 0;
};

}  // namespace vendro::keepa
