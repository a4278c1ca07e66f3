// The transform's kernels, written once over a lane type V; each instruction set's source
// instantiates them with its own V and publishes the result as its KernelTable.
//
// Contract:
// - V holds kWidth floats and gives: V::load(p), v.store(p), V::broadcast(x), + - *, sqrt(v),
//   reversed(v) (the lanes in reverse order), V::loadComplex(p, re, im) (kWidth interleaved
//   complex values split into their parts, value kLoadOrder[l] in lane l), V::transpose(rows) (the
//   kWidth x kWidth block of kWidth vectors); its LaneShape base gives the width and the side-sum
//   counts.
// - Every V is declared in an unnamed namespace of the one source compiled for its instruction
//   set, so everything here that it instantiates has internal linkage there: no function compiled
//   for AVX2 can stand in for the SSE2 one at link time. Hence everything here is a member of
//   Kernels<V>; nothing is a plain inline function.
// - Each lane does the scalar expressions in the scalar order, so every V gives the same bits.
#ifndef DSP_FFTKERNELS_H
#define DSP_FFTKERNELS_H

#include "dsp/kerneltable.h"
#include "dsp/squaresum.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace dsp::fft {

// The base of a lane type: kWidth floats per vector, and the samples of the side sum that each step
// of the load, the stage pair and the split adds, about what the step's own work takes at one
// addition per adder latency.
template <int width, long loadSquares, long pairSquares, long splitSquares> struct LaneShape {
    static constexpr int kWidth = width;
    static constexpr long kLoadSquares = loadSquares;
    static constexpr long kPairSquares = pairSquares;
    static constexpr long kSplitSquares = splitSquares;
};

template <class V> struct Kernels {
    static constexpr int kWidth = V::kWidth;
    using Rows = V[kWidth];

    // The table of these kernels, going on with `narrower` where they stop.
    static constexpr KernelTable table(const KernelTable* narrower)
    {
        return { kWidth, narrower, &multiply, &loadWithFirstStages, &stagePair, &stage,
            &splitInner };
    }

    static std::size_t multiply(
        const float* a, const float* b, float* out, std::size_t from, std::size_t n)
    {
        std::size_t i = from;
        for (; i + kWidth <= n; i += kWidth)
            (V::load(a + i) * V::load(b + i)).store(out + i);
        return i;
    }

    // Position p = W g + j of the bit-reversed order (W = kWidth) holds input r + rev(j) m / W,
    // r = bitRev[W g] and rev reversing log2(W) bits, so the first log2(W) stages stay inside a
    // group. W consecutive r run side by side, one per lane; the transpose then gives each lane's
    // W results to its own group, W bitRev[W r] from the start.
    static void loadWithFirstStages(const float* in, const std::int32_t* bitRev, int m,
        const float* stageCos, const float* stageSin, float* re, float* im, SquareSum& side)
    {
        const float* next = side.next;
        double sum = side.sum;
        // Entry h + k: twiddle k of the stage of half-length h (entry 0 unused).
        Rows wr, wi;
        eachLane([&](auto j) {
            wr[j] = V::broadcast(stageCos[j]);
            wi[j] = V::broadcast(stageSin[j]);
        });
        const int part = m / kWidth;
        for (int r = 0; r < part; r += kWidth) {
            addSquares(next, side.end, sum, V::kLoadSquares);
            Rows xr, xi;
            eachLane([&](auto j) {
                V::loadComplex(in + 2 * (r + reversedLane(j) * part), xr[j], xi[j]);
            });
            firstStages<1>(xr, xi, wr, wi);
            V::transpose(xr);
            V::transpose(xi);
            eachLane([&](auto l) {
                const int group = kWidth * bitRev[kWidth * (r + V::kLoadOrder[l])];
                xr[l].store(re + group);
                xi[l].store(im + group);
            });
        }
        side.next = next;
        side.sum = sum;
    }

    // In a block of 4h, the points p, p + h, p + 2h, p + 3h (p = s + k, k < h) meet first in pairs
    // (p, p + h) and (p + 2h, p + 3h) with twiddle k of stage h, then in pairs (p, p + 2h) and
    // (p + h, p + 3h) with twiddles k and k + h of stage 2h: exactly the butterflies of the two
    // stages, in an order that respects every dependency, each value loaded and stored once.
    static void stagePair(float* re, float* im, int m, int h, const float* stageCos,
        const float* stageSin, SquareSum& side)
    {
        const float* next = side.next;
        double sum = side.sum;
        const float* c1 = stageCos + h;
        const float* s1 = stageSin + h;
        const float* c2 = stageCos + 2 * h;
        const float* s2 = stageSin + 2 * h;
        for (int s = 0; s < m; s += 4 * h) {
            for (int k = 0; k < h; k += kWidth) {
                addSquares(next, side.end, sum, V::kPairSquares);
                float* r = re + s + k;
                float* i = im + s + k;
                V r0 = V::load(r), i0 = V::load(i);
                V r1 = V::load(r + h), i1 = V::load(i + h);
                V r2 = V::load(r + 2 * h), i2 = V::load(i + 2 * h);
                V r3 = V::load(r + 3 * h), i3 = V::load(i + 3 * h);
                const V w1r = V::load(c1 + k);
                const V w1i = V::load(s1 + k);
                butterflies(r0, i0, r1, i1, w1r, w1i);
                butterflies(r2, i2, r3, i3, w1r, w1i);
                butterflies(r0, i0, r2, i2, V::load(c2 + k), V::load(s2 + k));
                butterflies(r1, i1, r3, i3, V::load(c2 + k + h), V::load(s2 + k + h));
                r0.store(r);
                i0.store(i);
                r1.store(r + h);
                i1.store(i + h);
                r2.store(r + 2 * h);
                i2.store(i + 2 * h);
                r3.store(r + 3 * h);
                i3.store(i + 3 * h);
            }
        }
        side.next = next;
        side.sum = sum;
    }

    // Butterflies (s + k, s + k + h) for every block start s, twiddle k at wr[k], wi[k].
    static void stage(float* re, float* im, int m, int h, const float* wr, const float* wi)
    {
        for (int s = 0; s < m; s += 2 * h) {
            for (int k = 0; k < h; k += kWidth) {
                float* ra = re + s + k;
                float* ia = im + s + k;
                V ar = V::load(ra), ai = V::load(ia);
                V br = V::load(ra + h), bi = V::load(ia + h);
                butterflies(ar, ai, br, bi, V::load(wr + k), V::load(wi + k));
                ar.store(ra);
                ai.store(ia);
                br.store(ra + h);
                bi.store(ia + h);
            }
        }
    }

    // Bins k..k+W-1 pair with m-k..m-k-W+1, read as one vector and reversed. Bin k is
    // X = (Z[k] + conj Z[m-k]) / 2 + w^k (Z[k] - conj Z[m-k]) / 2i, Z the half-length transform.
    static int splitInner(const float* re, const float* im, int m, int from, const float* splitCos,
        const float* splitSin, float scale, float* power, SquareSum& side)
    {
        const float* next = side.next;
        double sum = side.sum;
        const V half = V::broadcast(0.5f);
        const V minusHalf = V::broadcast(-0.5f);
        const V scaleBy = V::broadcast(scale);
        int k = from;
        for (; k + kWidth - 1 < m; k += kWidth) {
            addSquares(next, side.end, sum, V::kSplitSquares);
            const V ra = V::load(re + k);
            const V ia = V::load(im + k);
            const V rb = reversed(V::load(re + m - k - (kWidth - 1)));
            const V ib = reversed(V::load(im + m - k - (kWidth - 1)));
            const V f = (ib + ia) * half;
            const V g = (ra - rb) * minusHalf;
            const V c = V::load(splitCos + k);
            const V s = V::load(splitSin + k);
            const V xr = c * f - s * g + (rb + ra) * half;
            const V xi = c * g + s * f + (ia - ib) * half;
            const V magnitude = sqrt(xi * xi + xr * xr) * scaleBy;
            (magnitude * magnitude).store(power + k);
        }
        side.next = next;
        side.sum = sum;
        return k;
    }

private:
    // Calls f(Index<j>()) for every lane j, spelled out at compile time, so
    // that rows indexed by j stay in registers.
    template <class F> static void eachLane(F&& f)
    {
        eachIndex(f, std::make_integer_sequence<int, kWidth>());
    }

    // A lane number as a type. Not std::integral_constant: its conversion would be an inline
    // function shared by every source that includes this file.
    template <int j> struct Index {
        static constexpr int value = j;
        constexpr operator int() const { return j; }
    };

    template <class F, int... j> static void eachIndex(F&& f, std::integer_sequence<int, j...>)
    {
        (f(Index<j>()), ...);
    }

    // j with its log2(kWidth) bits reversed.
    static constexpr int reversedLane(int j)
    {
        int reversed = 0;
        for (int bit = 1; bit < kWidth; bit *= 2)
            reversed = 2 * reversed + ((j & bit) ? 1 : 0);
        return reversed;
    }

    // The stages of half-length h, 2h, ... below kWidth on the rows of one group, twiddle
    // h + k of the stage at wr[h + k], wi[h + k].
    template <int h> static void firstStages(Rows& xr, Rows& xi, const Rows& wr, const Rows& wi)
    {
        if constexpr (h < kWidth) {
            eachIndex(
                [&](auto pair) {
                    constexpr int k = decltype(pair)::value % h;
                    constexpr int a = decltype(pair)::value / h * 2 * h + k;
                    butterflies(xr[a], xi[a], xr[a + h], xi[a + h], wr[h + k], wi[h + k]);
                },
                std::make_integer_sequence<int, kWidth / 2>());
            firstStages<2 * h>(xr, xi, wr, wi);
        }
    }

    // Independent butterflies, one per lane: t = w * b, then b = a - t and a = a + t.
    static void butterflies(V& ar, V& ai, V& br, V& bi, const V wr, const V wi)
    {
        const V tr = wr * br - wi * bi;
        const V ti = wr * bi + wi * br;
        br = ar - tr;
        bi = ai - ti;
        ar = ar + tr;
        ai = ai + ti;
    }

    // Adds the squares of the next `count` samples of a SquareSum when that many are left (the
    // rest falls to RealFft's tail), with the sum's state in the caller's locals so it stays in
    // registers. count is a constant, so the loop unrolls.
    static void addSquares(const float*& next, const float* end, double& sum, long count)
    {
        if (end - next < count)
            return;
        for (long j = 0; j < count; ++j) {
            const double x = next[j];
            sum += x * x;
        }
        next += count;
    }
};

} // namespace dsp::fft

#endif
