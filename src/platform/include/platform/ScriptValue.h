// Reading the bodies of script messages. Pages post plain objects over the bridge;
// the program receives them as JavaScriptCore values and reads them with these rules:
// a body is an object (not an array, not a function), "a string" is a JS string, "an
// integer" a JS number with an integral value within 64 bits (booleans are not numbers).
#pragma once

#include <jsc/jsc.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quillmere {

class ScriptValue {
public:
    // Refers to `value` without taking over a reference of the caller's.
    explicit ScriptValue(JSCValue* value)
        : value_(value ? JSC_VALUE(g_object_ref(value)) : nullptr)
    {
    }
    ScriptValue(const ScriptValue& other)
        : ScriptValue(other.value_)
    {
    }
    ScriptValue& operator=(const ScriptValue& other)
    {
        ScriptValue copy(other);
        std::swap(value_, copy.value_);
        return *this;
    }
    ~ScriptValue()
    {
        if (value_)
            g_object_unref(value_);
    }

    bool isDictionary() const;
    // The member `name` when this is a dictionary holding it (undefined counts as absent).
    std::optional<ScriptValue> member(const char* name) const;

    std::optional<std::string> asString() const;
    std::optional<std::int64_t> asInteger() const;
    std::optional<double> asNumber() const;
    std::optional<bool> asBoolean() const;

    std::optional<std::string> stringMember(const char* name) const;
    std::optional<std::int64_t> integerMember(const char* name) const;
    std::optional<double> numberMember(const char* name) const;
    std::optional<bool> booleanMember(const char* name) const;

    JSCValue* get() const { return value_; }

private:
    JSCValue* value_;
};

} // namespace quillmere
