#pragma once
#include <cstdint>
#include <string>

namespace Tav {

// Three signed 32-bit integers: cell and chunk coordinates.
//
// Sums, differences and products wrap modulo 2^32 (two's complement); they are
// computed in unsigned arithmetic, so no overflow is undefined. Quotients
// truncate toward zero. Division has two cases without a mathematical result:
// a zero divisor, and INT32_MIN / -1. The operators give defined values for
// them (a zero divisor gives 0 in that component, INT32_MIN / -1 wraps to
// INT32_MIN); callers that must report them check first with TryDivide.
struct Vector3i {
    int32_t x = 0;
    int32_t y = 0;
    int32_t z = 0;

    constexpr Vector3i() = default;
    constexpr Vector3i(int32_t x_, int32_t y_, int32_t z_) : x(x_), y(y_), z(z_) {}

    void Set(int32_t x_, int32_t y_, int32_t z_) { x = x_; y = y_; z = z_; }
    void Set(const Vector3i& b) { *this = b; }

    // "X: %.2f, Y: %.2f, Z: %.2f" with the components as doubles.
    std::string ToString() const;

    // Wrapping component operations.
    static constexpr int32_t WrapAdd(int32_t a, int32_t b) {
        return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    }
    static constexpr int32_t WrapSub(int32_t a, int32_t b) {
        return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
    }
    static constexpr int32_t WrapMul(int32_t a, int32_t b) {
        return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
    }
    // True when a / b has a result in 32 bits (b is not 0, and not INT32_MIN / -1).
    static constexpr bool CanDivide(int32_t a, int32_t b) {
        return b != 0 && !(a == INT32_MIN && b == -1);
    }
    // Truncating quotient, total: 0 for a zero divisor, INT32_MIN for INT32_MIN / -1.
    static constexpr int32_t SafeDiv(int32_t a, int32_t b) {
        return b == 0 ? 0 : (b == -1 ? WrapSub(0, a) : a / b);
    }

    // The quotient by a vector or by a scalar when every component has one;
    // otherwise false and out is left unchanged.
    bool TryDivide(const Vector3i& b, Vector3i& out) const {
        if (!CanDivide(x, b.x) || !CanDivide(y, b.y) || !CanDivide(z, b.z)) return false;
        out = Vector3i(x / b.x, y / b.y, z / b.z);
        return true;
    }
    bool TryDivide(int32_t s, Vector3i& out) const { return TryDivide(Vector3i(s, s, s), out); }
};

constexpr Vector3i operator+(const Vector3i& a, const Vector3i& b) {
    return {Vector3i::WrapAdd(a.x, b.x), Vector3i::WrapAdd(a.y, b.y), Vector3i::WrapAdd(a.z, b.z)};
}
constexpr Vector3i operator-(const Vector3i& a, const Vector3i& b) {
    return {Vector3i::WrapSub(a.x, b.x), Vector3i::WrapSub(a.y, b.y), Vector3i::WrapSub(a.z, b.z)};
}
constexpr Vector3i operator*(const Vector3i& a, const Vector3i& b) {
    return {Vector3i::WrapMul(a.x, b.x), Vector3i::WrapMul(a.y, b.y), Vector3i::WrapMul(a.z, b.z)};
}
constexpr Vector3i operator/(const Vector3i& a, const Vector3i& b) {
    return {Vector3i::SafeDiv(a.x, b.x), Vector3i::SafeDiv(a.y, b.y), Vector3i::SafeDiv(a.z, b.z)};
}
constexpr Vector3i operator+(const Vector3i& a, int32_t s) { return a + Vector3i(s, s, s); }
constexpr Vector3i operator-(const Vector3i& a, int32_t s) { return a - Vector3i(s, s, s); }
constexpr Vector3i operator*(const Vector3i& a, int32_t s) { return a * Vector3i(s, s, s); }
constexpr Vector3i operator/(const Vector3i& a, int32_t s) { return a / Vector3i(s, s, s); }

constexpr bool operator==(const Vector3i& a, const Vector3i& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
constexpr bool operator!=(const Vector3i& a, const Vector3i& b) { return !(a == b); }
// Lexicographic (x, then y, then z), so that coordinates can key ordered containers.
constexpr bool operator<(const Vector3i& a, const Vector3i& b) {
    return a.x != b.x ? a.x < b.x : (a.y != b.y ? a.y < b.y : a.z < b.z);
}

}  // namespace Tav
