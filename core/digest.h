#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace velmora::detail {

/// An MD5 digest fed piece by piece, for data that is hashed as it passes by.
class Md5Stream {
  public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    void update(const void* data, size_t length);
    /// 32 lowercase hex digits; absent when the digest failed. Ends the stream.
    std::optional<std::string> finish();

  private:
    struct Context;
    Context* context_;
    bool failed_ = false;
};

/// MD5 of everything readable from `fd` from its current offset; absent on a read error.
std::optional<std::string> md5OfDescriptor(int fd);

}  // namespace velmora::detail
