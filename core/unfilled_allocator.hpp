#pragma once

#include <memory>
#include <type_traits>
#include <utility>

// An allocator whose vectors grow without writing a value into each new element: resize()
// leaves the new elements as the allocator found them. Only for element types whose objects
// the storage brings into being by itself (trivially copyable and destructible, such as
// std::complex<float>), and only where every element is written before it is read. It exists
// because std::complex has a constructor, so a plain vector zero-fills all it grows by, element
// by element, right before the producer overwrites it: at wide IQ rates that pass is a few per
// cent of the conversion.
template <typename T>
class UnfilledAllocator : public std::allocator<T> {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = UnfilledAllocator<U>;
    };

    UnfilledAllocator() = default;
    template <typename U>
    UnfilledAllocator(UnfilledAllocator<U> const&) noexcept
    {
    }

    // A new element without a value: nothing to do.
    template <typename U>
    void construct(U*) noexcept
    {
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

template <typename T, typename U>
bool operator==(UnfilledAllocator<T> const&, UnfilledAllocator<U> const&) noexcept
{
    return true;
}
