#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/packet.h>
}

#include <concepts>
#include <utility>

namespace vesk {

namespace pointer {

// Turns an ffmpeg release function into a deleter. Both conventions of ffmpeg are accepted: the
// plain ones that take the object (av_free) and the typed ones that take the address of the
// pointer and clear it (av_packet_free, avcodec_parameters_free). av_freep takes void* yet wants
// the address, so it does not fit here: use av_free.
template <auto release> struct Function
{
    template <typename T> void operator()(T* object) const noexcept
    {
        if constexpr (std::invocable<decltype(release), T*>) {
            release(object);
        } else {
            release(&object);
        }
    }
};

// Deep copy of an ffmpeg object; null when the copy cannot be made. Only the types below can be
// copied; a Pointer to any other type is move-only (its copy constructor fails to compile when
// used).
template <typename T> struct DefaultCopier;

template <> struct DefaultCopier<AVPacket>
{
    AVPacket* operator()(const AVPacket* packet) const { return av_packet_clone(packet); }
};

template <> struct DefaultCopier<AVCodecParameters>
{
    AVCodecParameters* operator()(const AVCodecParameters* parameters) const
    {
        AVCodecParameters* copy = avcodec_parameters_alloc();
        if (copy && avcodec_parameters_copy(copy, parameters) < 0)
            avcodec_parameters_free(&copy);
        return copy;
    }
};

} // namespace pointer

// Sole owner of one ffmpeg object, released with Release when the Pointer goes. A copy is a deep
// copy made by Copier; when that copy fails the new Pointer is null, so check it after copying.
template <typename T, typename Release, typename Copier = pointer::DefaultCopier<T>> class Pointer
{
public:
    Pointer() noexcept = default;
    explicit Pointer(T* object) noexcept
        : m_object(object)
    {
    }
    Pointer(const Pointer& other)
        : m_object(other.m_object ? Copier()(other.m_object) : nullptr)
    {
    }
    Pointer(Pointer&& other) noexcept
        : m_object(std::exchange(other.m_object, nullptr))
    {
    }
    ~Pointer() { reset(); }

    Pointer& operator=(const Pointer& other)
    {
        if (this != &other)
            reset(other.m_object ? Copier()(other.m_object) : nullptr);
        return *this;
    }
    Pointer& operator=(Pointer&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_object, nullptr));
        return *this;
    }

    T* get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    T& operator*() const noexcept { return *m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

    // Hands the object over; the caller releases it from now on.
    [[nodiscard]] T* release() noexcept { return std::exchange(m_object, nullptr); }

    void reset(T* object = nullptr) noexcept
    {
        if (T* old = std::exchange(m_object, object))
            Release()(old);
    }

private:
    T* m_object = nullptr;
};

using PacketPointer = Pointer<AVPacket, pointer::Function<av_packet_free>>;
using CodecParametersPointer
    = Pointer<AVCodecParameters, pointer::Function<avcodec_parameters_free>>;

} // namespace vesk
