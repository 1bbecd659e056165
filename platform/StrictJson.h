#pragma once

#include <QByteArrayView>
#include <QString>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/JsonBounds.h"

namespace tavrolin {

// The string member `key` of a JSON object; nothing when the value is not
// an object, the key is missing or its value is not a string.
inline std::optional<QString> stringMember(const nlohmann::json &object, const char *key)
{
    if (!object.is_object())
        return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return QString::fromStdString(it->get_ref<const std::string &>());
}

// Whether no array or object in `bytes` lies deeper than `maxDepth`
// (brackets inside strings do not count). Malformed text may pass: the
// parser refuses it.
inline bool withinJsonDepth(QByteArrayView bytes, int maxDepth)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (const char c : bytes) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// The JSON value in `bytes` when they are within `bounds` and parse;
// nothing otherwise. Nothing past the bounds is parsed at all.
template <typename Json = nlohmann::json>
std::optional<Json> parseBoundedJson(QByteArrayView bytes, JsonBounds bounds)
{
    if (bytes.size() > bounds.maxBytes || !withinJsonDepth(bytes, bounds.maxDepth))
        return std::nullopt;
    Json value = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

} // namespace tavrolin
