#include "platform/ScriptValue.h"

#include "platform/GObjectPtr.h"
#include "platform/Numbers.h"

#include <glib.h>

#include <cmath>

namespace quillmere {

bool ScriptValue::isDictionary() const
{
    return value_ && jsc_value_is_object(value_) && !jsc_value_is_array(value_) && !jsc_value_is_function(value_);
}

std::optional<ScriptValue> ScriptValue::member(const char* name) const
{
    if (!isDictionary() || !jsc_value_object_has_property(value_, name))
        return std::nullopt;
    auto property = adopt(jsc_value_object_get_property(value_, name));
    ScriptValue result(property.get());
    if (jsc_value_is_undefined(result.get()))
        return std::nullopt;
    return result;
}

std::optional<std::string> ScriptValue::asString() const
{
    if (!value_ || !jsc_value_is_string(value_))
        return std::nullopt;
    GCharPtr text(jsc_value_to_string(value_));
    return std::string(text ? text.get() : "");
}

std::optional<double> ScriptValue::asNumber() const
{
    if (!value_ || !jsc_value_is_number(value_))
        return std::nullopt;
    return jsc_value_to_double(value_);
}

std::optional<std::int64_t> ScriptValue::asInteger() const
{
    auto number = asNumber();
    return number ? exactInt64(*number) : std::nullopt;
}

std::optional<bool> ScriptValue::asBoolean() const
{
    if (!value_ || !jsc_value_is_boolean(value_))
        return std::nullopt;
    return jsc_value_to_boolean(value_);
}

std::optional<std::string> ScriptValue::stringMember(const char* name) const
{
    auto m = member(name);
    return m ? m->asString() : std::nullopt;
}

std::optional<std::int64_t> ScriptValue::integerMember(const char* name) const
{
    auto m = member(name);
    return m ? m->asInteger() : std::nullopt;
}

std::optional<double> ScriptValue::numberMember(const char* name) const
{
    auto m = member(name);
    return m ? m->asNumber() : std::nullopt;
}

std::optional<bool> ScriptValue::booleanMember(const char* name) const
{
    auto m = member(name);
    return m ? m->asBoolean() : std::nullopt;
}

} // namespace quillmere
