#pragma once

#include "common/UniqueResource.h"

#include <glib-object.h>
#include <glib.h>

namespace parlomatic::platform {

template <typename T> using GObjectPtr = UniqueCPtr<T, g_object_unref>;

// Takes a new reference: for objects borrowed from a callback.
template <typename T> GObjectPtr<T> refObject(T* object)
{
    return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

using GErrorPtr = UniqueCPtr<GError, g_error_free>;

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

template <typename T> using GMallocPtr = UniqueCPtr<T, g_free>;
using GVariantPtr = UniqueCPtr<GVariant, g_variant_unref>;

inline void freeArray(GArray* array)
{
    g_array_free(array, TRUE);
}
using GArrayPtr = UniqueCPtr<GArray, freeArray>;

// A list that holds a reference to each of its objects.
inline void freeObjectList(GList* list)
{
    g_list_free_full(list, g_object_unref);
}
using GObjectListPtr = UniqueCPtr<GList, freeObjectList>;

} // namespace parlomatic::platform
