#pragma once

#include <QString>
#include <nlohmann/json.hpp>
#include <optional>

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

} // namespace tavrolin
