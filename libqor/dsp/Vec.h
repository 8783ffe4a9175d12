#pragma once

#include <emmintrin.h>

namespace libqor
{

// Two doubles as one SSE2 value. When it carries two samples of one stream,
// element 0 (the low lane) is the earlier sample.
struct alignas(16) Vec2
{
    __m128d v;

    Vec2() noexcept : v(_mm_setzero_pd()) {}
    Vec2(double e0, double e1) noexcept : v(_mm_set_pd(e1, e0)) {}
    explicit Vec2(__m128d x) noexcept : v(x) {}

    double operator[](int i) const noexcept { return v[i]; }
    void set(int i, double x) noexcept { v[i] = x; }
};

// Four floats as one SSE value; element 0 is the low lane.
struct alignas(16) Vec4
{
    __m128 v;

    Vec4() noexcept : v(_mm_setzero_ps()) {}
    Vec4(float e0, float e1, float e2, float e3) noexcept : v(_mm_set_ps(e3, e2, e1, e0)) {}
    explicit Vec4(__m128 x) noexcept : v(x) {}

    float operator[](int i) const noexcept { return v[i]; }
    void set(int i, float x) noexcept { v[i] = x; }
};

} // namespace libqor
