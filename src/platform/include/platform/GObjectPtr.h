// Owning holders for GObject-based C handles (WebKit, JavaScriptCore, libsoup).
// gtkmm wraps GTK and GIO; these cover the C APIs that have no C++ wrapper.
#pragma once

#include <glib-object.h>

#include <memory>
#include <utility>

namespace quillmere {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};

// A strong reference to a GObject; adopts a reference the caller already owns.
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes ownership of a reference returned by a "transfer full" C call.
template <typename T> GObjectPtr<T> adopt(T* object)
{
    return GObjectPtr<T>(object);
}

// Adds a reference (sinking a floating one) and owns it.
template <typename T> GObjectPtr<T> retain(T* object)
{
    return GObjectPtr<T>(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr);
}

// A weak reference that turns null when the object is finalised.
template <typename T> class GWeak {
public:
    GWeak() { g_weak_ref_init(&ref_, nullptr); }
    explicit GWeak(T* object) { g_weak_ref_init(&ref_, object); }
    GWeak(const GWeak& other) { g_weak_ref_init(&ref_, other.peek().get()); }
    GWeak& operator=(const GWeak& other)
    {
        if (this != &other)
            g_weak_ref_set(&ref_, other.peek().get());
        return *this;
    }
    GWeak& operator=(T* object)
    {
        g_weak_ref_set(&ref_, object);
        return *this;
    }
    ~GWeak() { g_weak_ref_clear(&ref_); }

    // A strong reference for the time of the call, or null when the object is gone.
    GObjectPtr<T> peek() const { return GObjectPtr<T>(static_cast<T*>(g_weak_ref_get(const_cast<GWeakRef*>(&ref_)))); }
    explicit operator bool() const { return static_cast<bool>(peek()); }

private:
    GWeakRef ref_;
};

struct GFreeDeleter {
    void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GErrorDeleter {
    void operator()(GError* e) const
    {
        if (e)
            g_error_free(e);
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GBytesUnref {
    void operator()(GBytes* bytes) const
    {
        if (bytes)
            g_bytes_unref(bytes);
    }
};
using BytesPtr = std::unique_ptr<GBytes, GBytesUnref>;

inline BytesPtr adoptBytes(GBytes* bytes)
{
    return BytesPtr(bytes);
}

} // namespace quillmere
