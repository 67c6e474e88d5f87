#pragma once

#include <utility>

#include <glib-object.h>

namespace quillon {

// Owns one reference to a GObject. Move-only; the reference is released in the destructor.
// Construct with adopt() to take over a reference the caller already owns (the result of a
// *_new() call or a "transfer full" getter), with ref() to add a reference of its own to an
// object borrowed from elsewhere ("transfer none"). Floating references are sunk by ref().
template <typename T>
class GObjectPtr {
public:
    GObjectPtr() = default;
    ~GObjectPtr() { reset(); }
    GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GObjectPtr& operator=(GObjectPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    GObjectPtr(const GObjectPtr&) = delete;
    GObjectPtr& operator=(const GObjectPtr&) = delete;

    static GObjectPtr adopt(T* object)
    {
        GObjectPtr p;
        p.object_ = object;
        return p;
    }

    static GObjectPtr ref(T* object)
    {
        GObjectPtr p;
        if (object)
            p.object_ = static_cast<T*>(g_object_ref_sink(object));
        return p;
    }

    void reset()
    {
        if (object_)
            g_object_unref(std::exchange(object_, nullptr));
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

}  // namespace quillon
