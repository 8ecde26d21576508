#pragma once

// Reading JSON that came from outside (a server, a client, a file someone else wrote): bounded in
// size and in nesting depth, so that no document can exhaust the stack or the memory of the code
// that walks, copies or prints it afterwards. Depends on nlohmann-json alone, so that tools
// outside the library (the cloud emulator) use the very same rules.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace velmora::jsonintake {

/// Containers nested deeper than this are refused. Every document of the cloud API is a handful
/// of levels deep; 128 leaves room and keeps every recursive walk of a value shallow.
inline constexpr std::size_t kDefaultMaxDepth = 128;

struct Limits {
    std::size_t maxDepth = kDefaultMaxDepth;
    /// Bytes of text; larger documents are refused before they are parsed.
    std::size_t maxBytes = 64 * 1024 * 1024;
};

enum class Refusal { None, TooLarge, TooDeep, Malformed };

struct Result {
    /// The document, or a discarded value when it was refused.
    nlohmann::json value = nlohmann::json(nlohmann::json::value_t::discarded);
    Refusal refusal = Refusal::None;
    /// Why it was refused, in words fit for an error record or a 400 answer.
    std::string message;

    bool ok() const { return refusal == Refusal::None; }
};

namespace internal {

// nlohmann's own DOM builder, stopped at the first container that would go too deep.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
  public:
    using Base = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;

    DepthLimitedBuilder(nlohmann::json& root, std::size_t maxDepth)
        : Base(root, false), maxDepth_(maxDepth) {}

    bool start_object(std::size_t length) { return enter() && Base::start_object(length); }
    bool start_array(std::size_t length) { return enter() && Base::start_array(length); }
    bool end_object() {
        --depth_;
        return Base::end_object();
    }
    bool end_array() {
        --depth_;
        return Base::end_array();
    }
    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
        parseMessage_ = ex.what();
        return Base::parse_error(position, token, ex);
    }

    bool tooDeep() const { return tooDeep_; }
    const std::string& parseMessage() const { return parseMessage_; }

  private:
    bool enter() {
        if (++depth_ > maxDepth_) tooDeep_ = true;
        return !tooDeep_;
    }

    std::size_t maxDepth_;
    std::size_t depth_ = 0;
    bool tooDeep_ = false;
    std::string parseMessage_;
};

}  // namespace internal

/// Parses `text` as one JSON document within `limits`. Never throws for anything in the text;
/// only an allocation failure can escape.
inline Result parse(std::string_view text, const Limits& limits = {}) {
    Result result;
    if (text.size() > limits.maxBytes) {
        result.refusal = Refusal::TooLarge;
        result.message = "JSON text of " + std::to_string(text.size()) +
                         " bytes exceeds the limit of " + std::to_string(limits.maxBytes) +
                         " bytes";
        return result;
    }
    nlohmann::json root;
    internal::DepthLimitedBuilder builder(root, limits.maxDepth);
    const bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
    if (builder.tooDeep()) {
        result.refusal = Refusal::TooDeep;
        result.message =
            "JSON text nests deeper than " + std::to_string(limits.maxDepth) + " levels";
        return result;
    }
    if (!parsed) {
        result.refusal = Refusal::Malformed;
        result.message = builder.parseMessage().empty() ? std::string("JSON text is malformed")
                                                        : builder.parseMessage();
        return result;
    }
    result.value = std::move(root);
    return result;
}

}  // namespace velmora::jsonintake
