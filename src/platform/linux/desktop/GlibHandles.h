#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace parlomatic::platform {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a new reference: for objects borrowed from a callback.
template <typename T> GObjectPtr<T> refObject(T* object)
{
    return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

struct GErrorFree {
    void operator()(GError* error) const
    {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

// Collects a GError out-parameter: `call(error.out())`, then test `error`.
class ErrorSlot {
public:
    GError** out() { return &m_raw; }
    explicit operator bool() const { return m_raw != nullptr; }
    ~ErrorSlot()
    {
        if (m_raw != nullptr) {
            g_error_free(m_raw);
        }
    }
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;

private:
    GError* m_raw = nullptr;
};

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
template <typename T> using GMallocPtr = std::unique_ptr<T, GFree>;

struct GArrayFree {
    void operator()(GArray* array) const
    {
        if (array != nullptr) {
            g_array_free(array, TRUE);
        }
    }
};
using GArrayPtr = std::unique_ptr<GArray, GArrayFree>;

} // namespace parlomatic::platform
