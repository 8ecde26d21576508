#include "velmora/json.h"

#include <algorithm>
#include <memory>

#include "json/bounded_text.h"

namespace velmora {
namespace {

// How far past the limit a dump is still counted, so the note can say how much was cut without
// writing out (or spending the time on) an enormous text.
constexpr size_t kCountedBeyondLimit = 16 * 1024 * 1024;

size_t characterBoundary(std::string_view text, size_t limit) {
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return end;
}

std::string cutNote(size_t cut, bool atLeast) {
    return std::string("… (") + (atLeast ? "more than " : "") + std::to_string(cut) + " bytes cut)";
}

struct StopCounting {};

// Keeps the first `limit` bytes and counts the rest, up to a bound.
class BoundedOutput : public nlohmann::detail::output_adapter_protocol<char> {
  public:
    BoundedOutput(std::string& head, size_t limit) : head_(head), limit_(limit) {}

    void write_character(char c) override { write_characters(&c, 1); }
    void write_characters(const char* s, std::size_t length) override {
        if (head_.size() < limit_) head_.append(s, std::min(length, limit_ - head_.size()));
        total_ += length;
        if (total_ > limit_ + kCountedBeyondLimit) throw StopCounting();
    }
    size_t total() const { return total_; }

  private:
    std::string& head_;
    size_t limit_;
    size_t total_ = 0;
};

}  // namespace

std::string detail::boundedText(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    const size_t end = characterBoundary(text, limit);
    return std::string(text.substr(0, end)) + cutNote(text.size() - end, false);
}

std::string detail::boundedDump(const Json& value, int indent, size_t limit) {
    std::string head;
    // One byte more than the limit tells a text that fits from one that was cut.
    auto output = std::make_shared<BoundedOutput>(head, limit + 1);
    bool counted = true;
    try {
        nlohmann::detail::serializer<Json> serializer(output, ' ', Json::error_handler_t::replace);
        serializer.dump(value, indent >= 0, false, indent >= 0 ? static_cast<unsigned>(indent) : 0);
    } catch (const StopCounting&) {
        counted = false;
    }
    if (head.size() <= limit) return head;
    const size_t end = characterBoundary(head, limit);
    head.resize(end);
    return head + cutNote(output->total() - end, !counted);
}

Json jsonMember(const Json& object, const std::string& key) {
    if (!object.is_object()) return absentJson();
    auto it = object.find(key);
    return it == object.end() ? absentJson() : *it;
}

const Json& jsonMemberRef(const Json& object, const std::string& key) {
    static const Json absent = absentJson();
    if (!object.is_object()) return absent;
    auto it = object.find(key);
    return it == object.end() ? absent : *it;
}

std::string jsonDescription(const Json& value) {
    if (value.is_discarded()) return "(null)";
    if (value.is_null()) return "<null>";
    if (value.is_string()) return detail::boundedText(value.get_ref<const std::string&>());
    if (value.is_structured()) return detail::boundedDump(value, 4);
    return value.dump();
}

}  // namespace velmora
