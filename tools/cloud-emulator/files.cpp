// File answers with ranges and validators, and the body writer where holds and faults act.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "tools/cloud-emulator/server_impl.h"
#include "tools/cloud-emulator/text.h"

namespace fs = std::filesystem;

namespace velmora::emulator {

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr int kMaxHoldSeconds = 120;

}  // namespace

void Server::Impl::releaseHeld(bool stop) {
    {
        std::lock_guard lock(mutex);
        ++releases;
        stopping = stopping || stop;
    }
    releasedHeld.notify_all();
}

// Bounded, so a test that forgets to release cannot keep a worker for good.
void Server::Impl::waitForRelease(uint64_t heldAt) {
    std::unique_lock lock(mutex);
    releasedHeld.wait_for(lock, std::chrono::seconds(kMaxHoldSeconds),
                          [&] { return stopping || releases != heldAt; });
}

uint64_t Server::Impl::releaseCount() {
    std::lock_guard lock(mutex);
    return releases;
}

void Server::Impl::emit(const httplib::Request& req, httplib::Response& res, Reply reply,
                        const Effects& fx, std::optional<uint64_t> heldAt) {
    uint64_t length = 0;
    std::shared_ptr<std::ifstream> file;
    if (reply.file) {
        file = std::make_shared<std::ifstream>(*reply.file, std::ios::binary);
        std::error_code ec;
        length = fs::file_size(*reply.file, ec);
        if (!*file || ec) {
            reply = envelope(500, kInternal, "cannot read " + reply.file->filename().string());
            file.reset();
            length = 0;
        }
    }
    if (!file) {
        adjustable(req).ranges.clear();  // ranges apply to files only
        length = reply.body.size();
    }
    // A file answer to a range request leaves the status to the library (206).
    if (!(file && !req.ranges.empty())) res.status = reply.status;
    if (fx.status) res.status = *fx.status;
    if (fx.retryAfter) res.set_header("Retry-After", std::to_string(*fx.retryAfter));
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);

    uint64_t sendLength = length;
    if (req.ranges.size() == 1)
        sendLength = static_cast<uint64_t>(req.ranges[0].second - req.ranges[0].first + 1);
    const uint64_t half = sendLength / 2;

    struct Progress {
        uint64_t sent = 0;
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    };
    auto progress = std::make_shared<Progress>();
    auto text = std::make_shared<std::string>(std::move(reply.body));
    const bool truncate = fx.truncate;
    const bool corrupt = fx.corrupt;
    const int64_t bps = fx.throttleBps.value_or(0);

    res.set_content_provider(length, reply.contentType,
                             [this, file, text, progress, truncate, corrupt, bps, half, heldAt](
                                 size_t offset, size_t want, httplib::DataSink& sink) mutable {
                                 size_t n = std::min(want, kChunk);
                                 if (heldAt) {
                                     if (progress->sent >= half) {
                                         waitForRelease(*heldAt);
                                         heldAt.reset();
                                     } else {
                                         n = std::min<size_t>(n, half - progress->sent);
                                     }
                                 }
                                 if (bps > 0)
                                     n = std::min<size_t>(n, std::max<int64_t>(1, bps / 20));
                                 if (truncate) {
                                     if (progress->sent >= half)
                                         return false;  // close after half the body
                                     n = std::min<size_t>(n, half - progress->sent);
                                 }
                                 std::string buf(n, '\0');
                                 if (file) {
                                     file->clear();
                                     file->seekg(static_cast<std::streamoff>(offset));
                                     if (!file->read(buf.data(), static_cast<std::streamsize>(n)))
                                         return false;
                                 } else {
                                     buf.assign(*text, offset, n);
                                 }
                                 if (corrupt) {
                                     for (auto& c : buf) c = static_cast<char>(c ^ 0xFF);
                                 }
                                 if (bps > 0) {
                                     auto due =
                                         progress->start +
                                         std::chrono::microseconds((progress->sent + n) * 1000000 /
                                                                   static_cast<uint64_t>(bps));
                                     std::this_thread::sleep_until(due);
                                 }
                                 if (!sink.write(buf.data(), buf.size())) return false;
                                 progress->sent += n;
                                 bodyBytesSent += n;
                                 return true;
                             });
}

Reply Server::Impl::fileReply(const httplib::Request& req, const fs::path& path,
                              const std::string& type) {
    std::error_code ec;
    const auto size = static_cast<ssize_t>(fs::file_size(path, ec));
    if (ec) return envelope(404, kNotFound, "no such file");
    // Validators for resuming: size and modification time name a version of a file.
    const auto modified = fs::last_write_time(path, ec);
    const auto modifiedNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
    const std::string etag = "\"" + std::to_string(size) + "-" + std::to_string(modifiedNs) + "\"";
    const std::string lastModified = httpDate(
        static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::file_clock::to_sys(modified).time_since_epoch())
                                     .count()));
    auto& ranges = adjustable(req).ranges;
    // A range is only for the version the client has; any other gets the whole file.
    if (req.has_header("If-Range")) {
        const std::string condition = req.get_header_value("If-Range");
        if (condition != etag && condition != lastModified) ranges.clear();
    }
    // The library slices ranges as given; clamp them to the file and refuse the unsatisfiable.
    for (auto& [first, last] : ranges) {
        if (first < 0) {
            if (last <= 0 || size == 0)
                first = size;  // refused below
            else {
                first = std::max<ssize_t>(0, size - last);
                last = size - 1;
            }
        } else if (last < 0 || last >= size) {
            last = size - 1;
        }
        if (first >= size || first > last) {
            ranges.clear();
            Reply reply = envelope(416, kBadRequest, "requested range not satisfiable");
            reply.headers.emplace("Content-Range", "bytes */" + std::to_string(size));
            return reply;
        }
    }
    Reply reply;
    reply.file = path;
    reply.contentType = type;
    reply.headers.emplace("ETag", etag);
    reply.headers.emplace("Last-Modified", lastModified);
    reply.headers.emplace("Accept-Ranges", "bytes");
    return reply;
}

Reply Server::Impl::files(const httplib::Request& req) {
    const std::string& path = req.path;
    static const std::regex itemList(R"(^/itemlist/([0-9]{1,18})\.json$)");
    static const std::regex storeFile(R"(^/files/store/([0-9a-f]{32})(/[^/]*)?$)");
    static const std::regex avatarIcon(R"(^/files/avatars/([A-Za-z0-9_-]{1,128})/avatar\.png$)");
    std::smatch m;
    if (req.method != "GET") {
        if (std::regex_match(path, itemList) || std::regex_match(path, storeFile) ||
            std::regex_match(path, avatarIcon))
            return envelope(405, kMethodNotAllowed, "files are read with GET");
        return envelope(404, kNotFound, "no such path: " + path);
    }
    if (std::regex_match(path, m, itemList)) {
        auto doc = project.itemListDocument(std::stoll(m[1].str()), filesBase(req));
        if (!doc) return envelope(404, kNotFound, "no such item list version");
        Reply reply;
        reply.body = std::move(*doc);
        return reply;
    }
    if (std::regex_match(path, m, storeFile)) {
        auto file = project.storeFile(m[1].str());
        if (!file) return envelope(404, kNotFound, "no such file");
        std::string type = endsWith(path, ".png") ? "image/png" : "application/octet-stream";
        return fileReply(req, *file, type);
    }
    if (std::regex_match(path, m, avatarIcon)) {
        auto file = project.avatarIcon(m[1].str());
        if (!file) return envelope(404, kNotFound, "no such avatar icon");
        return fileReply(req, *file, "image/png");
    }
    return envelope(404, kNotFound, "no such path: " + path);
}

}  // namespace velmora::emulator
