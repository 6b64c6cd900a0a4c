#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/JSONValue.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>
#include <variant>

namespace zoq {
namespace {

// Builds a JSONValue from nlohmann's SAX events with an explicit stack, so
// depth costs heap, not call frames; the depth itself is capped as well.
class ValueBuilder {
public:
    using Json = nlohmann::json;

    bool null() { return put(JSONValue()); }
    bool boolean(bool value) { return put(JSONValue(value)); }
    bool number_integer(Json::number_integer_t value) { return put(JSONValue(static_cast<double>(value))); }
    bool number_unsigned(Json::number_unsigned_t value) { return put(JSONValue(static_cast<double>(value))); }
    bool number_float(Json::number_float_t value, const Json::string_t&) {
        // The lexer already refuses overflow to infinity; keep the guarantee local.
        if (!std::isfinite(value)) {
            throw JSONSyntaxError("number out of range");
        }
        return put(JSONValue(value));
    }
    bool string(Json::string_t& value) { return put(JSONValue(std::move(value))); }
    bool binary(Json::binary_t&) { throw JSONSyntaxError("binary value"); }

    bool start_object(std::size_t) { return open(JSONValue::Object{}); }
    bool key(Json::string_t& key) {
        Frame& frame = stack_.back();
        if (std::get<JSONValue::Object>(frame.container).contains(key)) {
            throw JSONSyntaxError("duplicate object key");
        }
        frame.key = std::move(key);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(JSONValue::Array{}); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        // nlohmann's text is "[json.exception.parse_error.101] parse error at ...".
        std::string_view text = error.what();
        if (const auto end = text.find("] "); text.starts_with('[') && end != std::string_view::npos) {
            text.remove_prefix(end + 2);
        }
        throw JSONSyntaxError(std::string(text));
    }

    JSONValue result() && { return std::move(root_); }

private:
    struct Frame {
        std::variant<JSONValue::Object, JSONValue::Array> container;
        std::string key;
    };

    bool open(std::variant<JSONValue::Object, JSONValue::Array> container) {
        if (stack_.size() >= JSONValue::maxDepth) {
            throw JSONSyntaxError("nesting deeper than 512 levels");
        }
        stack_.push_back({std::move(container), {}});
        return true;
    }

    bool close() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return std::visit([this](auto& container) { return put(JSONValue(std::move(container))); },
                          frame.container);
    }

    bool put(JSONValue value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return true;
        }
        Frame& frame = stack_.back();
        if (auto* array = std::get_if<JSONValue::Array>(&frame.container)) {
            array->push_back(std::move(value));
        } else {
            std::get<JSONValue::Object>(frame.container).emplace(std::move(frame.key), std::move(value));
        }
        return true;
    }

    std::vector<Frame> stack_;
    JSONValue root_;
};

} // namespace

JSONValue JSONValue::parse(ByteView bytes) {
    ValueBuilder builder;
    // Strict: exactly one value, nothing but whitespace after it, no comments.
    // The lexer refuses invalid UTF-8 and unpaired surrogate escapes in strings.
    const bool accepted = nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder,
                                                    nlohmann::json::input_format_t::json, true, false);
    if (!accepted) {
        throw JSONSyntaxError("syntax error");
    }
    return std::move(builder).result();
}

} // namespace zoq
