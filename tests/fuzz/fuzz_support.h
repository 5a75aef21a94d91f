#pragma once

// Shared by the fuzz targets: reading typed values off the fuzzer's bytes, and a
// check that stops the run with a message (the fuzzer then keeps the input).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Takes values from the front of the input; once it runs dry every value is 0,
// so any input, even an empty one, decodes to something.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <typename T>
    T take() {
        static_assert(std::is_trivially_copyable_v<T>);
        T value{};
        const std::size_t n = std::min(sizeof(T), remaining());
        if (n > 0) std::memcpy(&value, data_ + position_, n);
        position_ += n;
        return value;
    }

    // An integer in [low, high] (inclusive).
    int intInRange(int low, int high) {
        const auto span = static_cast<std::uint64_t>(std::int64_t{high} - low) + 1;
        return static_cast<int>(low + static_cast<std::int64_t>(take<std::uint32_t>() % span));
    }

    // A float in [low, high], from 16 bits.
    float floatInRange(float low, float high) {
        return low + (high - low) * static_cast<float>(take<std::uint16_t>()) / 65535.0f;
    }

    bool flag() { return (take<std::uint8_t>() & 1) != 0; }

    std::size_t remaining() const { return size_ - position_; }

    // `count` bytes: the rest of the input repeated, or zeros when none is left.
    // Consumes at most `count` bytes.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out(count, 0);
        const std::size_t available = remaining();
        if (available == 0) return out;
        for (std::size_t i = 0; i < count; ++i) out[i] = data_[position_ + i % available];
        position_ += std::min(count, available);
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

inline bool allFinite(const double* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}
