#include "velmora/encrypt_utils.h"

#include "core/digest.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace velmora {
namespace {

constexpr size_t kReadBufferSize = 64 * 1024;

std::string toHex(const unsigned char* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return out;
}

// Both texts end at their first zero byte, as C strings would.
std::string_view untilZero(const std::string& text) {
    return std::string_view(text.data(), std::strlen(text.c_str()));
}

struct MacDeleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::string QelEncryptUtils::HMacSHA256WithSecret(const std::string& secret,
                                                  const std::string& content) {
    if (secret.empty()) return "";
    std::string_view key = untilZero(secret);
    std::string_view message = untilZero(content);

    std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac) return "";
    std::unique_ptr<EVP_MAC_CTX, MacDeleter> ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx) return "";
    char digestName[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                           OSSL_PARAM_construct_end()};
    std::array<unsigned char, 32> out{};
    size_t outLength = 0;
    // A key cut to nothing by a leading zero byte is still a valid (empty) HMAC key.
    static const unsigned char kNoKey = 0;
    const auto* keyBytes =
        key.empty() ? &kNoKey : reinterpret_cast<const unsigned char*>(key.data());
    if (EVP_MAC_init(ctx.get(), keyBytes, key.size(), params) != 1 ||
        EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        EVP_MAC_final(ctx.get(), out.data(), &outLength, out.size()) != 1) {
        return "";
    }
    return toHex(out.data(), outLength);
}

std::optional<std::string> QelEncryptUtils::getFileMD5WithPath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode)) return std::nullopt;
    return detail::md5OfDescriptor(file.get());
}

struct detail::Md5Stream::Context {
    std::unique_ptr<EVP_MD_CTX, MacDeleter> ctx{EVP_MD_CTX_new()};
};

detail::Md5Stream::Md5Stream() : context_(new Context) {
    failed_ = !context_->ctx || EVP_DigestInit_ex(context_->ctx.get(), EVP_md5(), nullptr) != 1;
}

detail::Md5Stream::~Md5Stream() {
    delete context_;
}

void detail::Md5Stream::update(const void* data, size_t length) {
    if (!failed_ && length > 0) failed_ = EVP_DigestUpdate(context_->ctx.get(), data, length) != 1;
}

std::optional<std::string> detail::Md5Stream::finish() {
    if (failed_) return std::nullopt;
    failed_ = true;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->ctx.get(), digest.data(), &length) != 1) return std::nullopt;
    return toHex(digest.data(), length);
}

std::optional<std::string> detail::md5OfDescriptor(int fd) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    detail::Md5Stream stream;
    std::array<unsigned char, kReadBufferSize> buffer;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        stream.update(buffer.data(), static_cast<size_t>(n));
    }
    return stream.finish();
}

}  // namespace velmora
