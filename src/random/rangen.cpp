// Generator, seeding, uniform, normal, exponential and gamma deviates.
#include "random/rangen.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define RANGEN_AVX2 1
#endif

#include "util/format.hpp"
#include "util/stop.hpp"

namespace rangen {

namespace {

struct Globe {
  i32 m1 = 0, m2 = 0, a1 = 0, a2 = 0, a1w = 0, a2w = 0, a1vw = 0, a2vw = 0;
  // Indexed by generator number minus one.
  std::array<i32, numg> ig1{}, ig2{}, lg1{}, lg2{}, cg1{}, cg2{};
  std::array<bool, numg> qanti{};
};

Globe globe;
bool QINIT = false;
bool QQSSD = false;
i32 CURNTG = 1;

// Test seam.
std::function<float()> uniform_hook;
std::function<float()> normal_hook;
bool uniform_hooked = false;
bool normal_hooked = false;
std::uint64_t draws = 0;
std::uint64_t draws_at_seeding = 0;

[[noreturn]] void initgn_uninitialised() {
  util::say(" INITGN called before random number generator ", " initialized -- abort!");
  util::fatal_stderr(" INITGN called before random number generator initialized");
}

// Moduli and multipliers of the two generators; inrgcm puts them in globe
// as well, and step reads them from here, where they are constants.
constexpr i32 M1 = 2147483563, M2 = 2147483399, A1 = 40014, A2 = 40692;

// One step of the combined generator on the seeds s1, s2: the integer the
// uniform is made of, before the antithetic flip.
[[gnu::always_inline]] inline i32 step_seeds(i32& s1, i32& s2) {
  i32 k = s1 / 53668;
  s1 = A1 * (s1 - k * 53668) - k * 12211;
  if (s1 < 0) s1 += M1;
  k = s2 / 52774;
  s2 = A2 * (s2 - k * 52774) - k * 3791;
  if (s2 < 0) s2 += M2;
  i32 z = s1 - s2;
  if (z < 1) z += M1 - 1;
  return z;
}

// A generator used before it was set up takes the constants and the
// default seeds at its first step.
[[gnu::always_inline]] inline void ready() {
  if (!QINIT) inrgcm();
  if (!QQSSD) setall(1234567890, 123456789);
}

// One step of the current generator.  step and draw sit inside every
// deviate's loops, so they are inlined there.
[[gnu::always_inline]] inline i32 step() {
  ready();
  const int g = CURNTG - 1;
  i32 s1 = globe.cg1[g];
  i32 s2 = globe.cg2[g];
  i32 z = step_seeds(s1, s2);
  globe.cg1[g] = s1;
  globe.cg2[g] = s2;
  if (globe.qanti[g]) z = M1 - z;
  return z;
}

// The uniform that every deviate draws (the body of ranf).
[[gnu::always_inline]] inline float draw() {
  ++draws;
  if (uniform_hooked) [[unlikely]]
    return uniform_hook();
  // Nearest single-precision value of z, times 2^-31 (exact).
  return static_cast<float>(step()) * 4.656613e-10f;
}

// The uniforms of the normal deviate come from the global draw, or, for a
// run of deviates, from the current generator's seeds held in registers
// (LocalUniforms) or from blocks of its next uniforms worked out at once
// (BlockUniforms); these two store the state once at the run's end.
struct GlobalUniforms {
  [[gnu::always_inline]] float operator()() const { return draw(); }
};

// Step j of a generator from seed s is a^j s mod m.  A block's uniforms come
// from their seeds' powers of a each, with no step waiting on the one
// before, while step() walks the same values one after the other.  Both
// reductions are exact, so the values are the same.
constexpr int ublock = 64;

template <i32 a, i32 m>
constexpr std::array<std::uint64_t, ublock + 1> powers() {
  std::array<std::uint64_t, ublock + 1> p{};
  p[0] = 1;
  for (int j = 1; j <= ublock; ++j) p[j] = p[j - 1] * a % m;
  return p;
}
alignas(16) constexpr auto P1 = powers<A1, M1>();
alignas(16) constexpr auto P2 = powers<A2, M2>();

// (a s) mod m for a, s in [0, m) and m = 2^31 - c, where 2^31 is c modulo
// m: products of 32-bit numbers, shifts and masks, which run two at a time
// in vector registers.
template <i32 m>
inline constexpr std::uint64_t fold_c = (std::uint64_t{1} << 31) - static_cast<std::uint64_t>(m);
inline constexpr std::uint64_t low31 = (std::uint64_t{1} << 31) - 1;

template <i32 m>
[[gnu::always_inline]] inline std::uint64_t mulmod31(std::uint64_t a, std::uint64_t s) {
  constexpr std::uint64_t c = fold_c<m>;
  std::uint64_t p = a * s;                          // below 2^62
  p = (p & low31) + (p >> 31) * c;                  // below 2^31 (c + 1)
  p = (p & low31) + (p >> 31) * c;                  // below 2^31 + c^2 < 2 m
  return (p + ((p + c) >> 31) * c) & low31;         // less m when p >= m
}

#if defined(__SSE2__)
// mulmod31 of the two 64-bit lanes of a (below m) by the one seed s.
template <i32 m>
[[gnu::always_inline]] inline __m128i mulmod31x2(__m128i a, __m128i s) {
  const __m128i c = _mm_set1_epi64x(static_cast<long long>(fold_c<m>));
  const __m128i low = _mm_set1_epi64x(static_cast<long long>(low31));
  __m128i p = _mm_mul_epu32(a, s);
  p = _mm_add_epi64(_mm_and_si128(p, low), _mm_mul_epu32(_mm_srli_epi64(p, 31), c));
  p = _mm_add_epi64(_mm_and_si128(p, low), _mm_mul_epu32(_mm_srli_epi64(p, 31), c));
  const __m128i over = _mm_mul_epu32(_mm_srli_epi64(_mm_add_epi64(p, c), 31), c);
  return _mm_and_si128(_mm_add_epi64(p, over), low);
}

// The low halves of the lanes of a and b as four 32-bit lanes.
[[gnu::always_inline]] inline __m128i low_halves(__m128i a, __m128i b) {
  return _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}
#endif

#if defined(RANGEN_AVX2)
// mulmod31x2 on four lanes, where the processor has the wider registers.
template <i32 m>
[[gnu::always_inline, gnu::target("avx2")]] inline __m256i mulmod31x4(__m256i a, __m256i s) {
  const __m256i c = _mm256_set1_epi64x(static_cast<long long>(fold_c<m>));
  const __m256i low = _mm256_set1_epi64x(static_cast<long long>(low31));
  __m256i p = _mm256_mul_epu32(a, s);
  p = _mm256_add_epi64(_mm256_and_si256(p, low), _mm256_mul_epu32(_mm256_srli_epi64(p, 31), c));
  p = _mm256_add_epi64(_mm256_and_si256(p, low), _mm256_mul_epu32(_mm256_srli_epi64(p, 31), c));
  const __m256i over = _mm256_mul_epu32(_mm256_srli_epi64(_mm256_add_epi64(p, c), 31), c);
  return _mm256_and_si256(_mm256_add_epi64(p, over), low);
}

// The low halves of the lanes of a and then b as eight 32-bit lanes.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256i low_halves(__m256i a, __m256i b) {
  const __m256 ab = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b),
                                      _MM_SHUFFLE(2, 0, 2, 0));  // a0 a1 b0 b1 a2 a3 b2 b3
  return _mm256_permute4x64_epi64(_mm256_castps_si256(ab), _MM_SHUFFLE(3, 1, 2, 0));
}

bool wide_allowed = true;  // test seam

bool has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has && wide_allowed;
}
#endif

// The seed as the residue a step works from: a step maps any seed s to
// a s mod m, taken in [0, m).
template <i32 m>
std::uint64_t residue(i32 s) {
  return static_cast<std::uint64_t>((std::int64_t{s} % m + m) % m);
}

struct UniformBlock {
  std::uint64_t s1, s2;  // seeds before the block's first step
  bool anti;
  std::uint64_t blocks = 0;
  alignas(16) float u[ublock];

  UniformBlock(i32 seed1, i32 seed2, bool qanti) { start(seed1, seed2, qanti); }
  void start(i32 seed1, i32 seed2, bool qanti) {
    s1 = residue<M1>(seed1);
    s2 = residue<M2>(seed2);
    anti = qanti;
    blocks = 0;
  }

  [[gnu::noinline]] void next() {
    if (blocks > 0) {
      s1 = mulmod31<M1>(P1[ublock], s1);
      s2 = mulmod31<M2>(P2[ublock], s2);
    }
    ++blocks;
#if defined(RANGEN_AVX2)
    if (has_avx2()) {
      fill_avx2();
      return;
    }
#endif
#if defined(__SSE2__)
    const __m128i v1 = _mm_set1_epi64x(static_cast<long long>(s1));
    const __m128i v2 = _mm_set1_epi64x(static_cast<long long>(s2));
    const __m128i one = _mm_set1_epi32(1), wrap = _mm_set1_epi32(M1 - 1);
    // z or, antithetic, M1 - z = (z ^ -1) - (-1) + M1.
    const __m128i neg = _mm_set1_epi32(anti ? -1 : 0), flip = _mm_set1_epi32(anti ? M1 : 0);
    const __m128 scale = _mm_set1_ps(4.656613e-10f);
    for (int j = 0; j < ublock; j += 4) {
      const auto* p1 = reinterpret_cast<const __m128i*>(P1.data() + j + 1);
      const auto* p2 = reinterpret_cast<const __m128i*>(P2.data() + j + 1);
      const __m128i t1 = low_halves(mulmod31x2<M1>(_mm_loadu_si128(p1), v1),
                                    mulmod31x2<M1>(_mm_loadu_si128(p1 + 1), v1));
      const __m128i t2 = low_halves(mulmod31x2<M2>(_mm_loadu_si128(p2), v2),
                                    mulmod31x2<M2>(_mm_loadu_si128(p2 + 1), v2));
      __m128i z = _mm_sub_epi32(t1, t2);
      z = _mm_add_epi32(z, _mm_and_si128(_mm_cmplt_epi32(z, one), wrap));
      z = _mm_add_epi32(_mm_sub_epi32(_mm_xor_si128(z, neg), neg), flip);
      _mm_store_ps(u + j, _mm_mul_ps(_mm_cvtepi32_ps(z), scale));
    }
#else
    for (int j = 0; j < ublock; ++j) {
      i32 z = static_cast<i32>(mulmod31<M1>(P1[j + 1], s1)) -
              static_cast<i32>(mulmod31<M2>(P2[j + 1], s2));
      if (z < 1) z += M1 - 1;
      if (anti) z = M1 - z;
      u[j] = static_cast<float>(z) * 4.656613e-10f;
    }
#endif
  }
#if defined(RANGEN_AVX2)
  // The block's uniforms eight at a time: the same integer steps, and the
  // same conversion and product in single precision.
  [[gnu::target("avx2")]] void fill_avx2() {
    const __m256i v1 = _mm256_set1_epi64x(static_cast<long long>(s1));
    const __m256i v2 = _mm256_set1_epi64x(static_cast<long long>(s2));
    const __m256i one = _mm256_set1_epi32(1), wrap = _mm256_set1_epi32(M1 - 1);
    const __m256i neg = _mm256_set1_epi32(anti ? -1 : 0), flip = _mm256_set1_epi32(anti ? M1 : 0);
    const __m256 scale = _mm256_set1_ps(4.656613e-10f);
    for (int j = 0; j < ublock; j += 8) {
      const auto* p1 = reinterpret_cast<const __m256i*>(P1.data() + j + 1);
      const auto* p2 = reinterpret_cast<const __m256i*>(P2.data() + j + 1);
      const __m256i t1 = low_halves(mulmod31x4<M1>(_mm256_loadu_si256(p1), v1),
                                    mulmod31x4<M1>(_mm256_loadu_si256(p1 + 1), v1));
      const __m256i t2 = low_halves(mulmod31x4<M2>(_mm256_loadu_si256(p2), v2),
                                    mulmod31x4<M2>(_mm256_loadu_si256(p2 + 1), v2));
      __m256i z = _mm256_sub_epi32(t1, t2);
      z = _mm256_add_epi32(z, _mm256_and_si256(_mm256_cmpgt_epi32(one, z), wrap));
      z = _mm256_add_epi32(_mm256_sub_epi32(_mm256_xor_si256(z, neg), neg), flip);
      _mm256_storeu_ps(u + j, _mm256_mul_ps(_mm256_cvtepi32_ps(z), scale));
    }
  }
#endif

  // The seeds after `taken` uniforms of the current block.
  i32 seed1(int taken) const { return static_cast<i32>(mulmod31<M1>(P1[taken], s1)); }
  i32 seed2(int taken) const { return static_cast<i32>(mulmod31<M2>(P2[taken], s2)); }
};

// The current generator's seeds stepped in registers by a few deviates in a
// row and stored once after them.
struct LocalUniforms {
  i32 s1, s2;
  bool anti;
  std::uint64_t steps = 0;
  [[gnu::always_inline]] float operator()() {
    ++steps;
    i32 z = step_seeds(s1, s2);
    if (anti) z = M1 - z;
    return static_cast<float>(z) * 4.656613e-10f;
  }
};

struct BlockUniforms {
  UniformBlock* block;
  int taken;  // of the current block
  [[gnu::always_inline]] float operator()() {
    if (taken == ublock) [[unlikely]] {
      block->next();
      taken = 0;
    }
    return block->u[taken++];
  }
};

// ---- tables of the normal and exponential deviates (index 1-based) ---------

constexpr float A[33] = {0.0f,
    0.0f,       0.03917609f, 0.07841241f, 0.1177699f, 0.1573107f, 0.1970991f, 0.2372021f,
    0.2776904f, 0.3186394f,  0.3601299f,  0.4022501f, 0.4450965f, 0.4887764f, 0.5334097f,
    0.5791322f, 0.626099f,   0.6744898f,  0.7245144f, 0.7764218f, 0.8305109f, 0.8871466f,
    0.9467818f, 1.00999f,    1.077516f,   1.150349f,  1.229859f,  1.318011f,  1.417797f,
    1.534121f,  1.67594f,    1.862732f,   2.153875f};

constexpr float D[32] = {0.0f,
    0.0f,       0.0f,       0.0f,       0.0f,       0.0f,       0.2636843f, 0.2425085f,
    0.2255674f, 0.2116342f, 0.1999243f, 0.1899108f, 0.1812252f, 0.1736014f, 0.1668419f,
    0.1607967f, 0.1553497f, 0.1504094f, 0.1459026f, 0.14177f,   0.1379632f, 0.1344418f,
    0.1311722f, 0.128126f,  0.1252791f, 0.1226109f, 0.1201036f, 0.1177417f, 0.1155119f,
    0.1134023f, 0.1114027f, 0.1095039f};

constexpr float T[32] = {0.0f,
    0.0007673828f, 0.00230687f, 0.003860618f, 0.005438454f, 0.007050699f, 0.008708396f,
    0.01042357f,   0.01220953f, 0.01408125f,  0.01605579f,  0.0181529f,   0.02039573f,
    0.02281177f,   0.02543407f, 0.02830296f,  0.03146822f,  0.03499233f,  0.03895483f,
    0.04345878f,   0.04864035f, 0.05468334f,  0.06184222f,  0.07047983f,  0.08113195f,
    0.09462444f,   0.1123001f,  0.136498f,    0.1716886f,   0.2276241f,   0.330498f,
    0.5847031f};

constexpr float H[32] = {0.0f,
    0.03920617f, 0.03932705f, 0.03950999f, 0.03975703f, 0.04007093f, 0.04045533f,
    0.04091481f, 0.04145507f, 0.04208311f, 0.04280748f, 0.04363863f, 0.04458932f,
    0.04567523f, 0.04691571f, 0.04833487f, 0.04996298f, 0.05183859f, 0.05401138f,
    0.05654656f, 0.0595313f,  0.06308489f, 0.06737503f, 0.07264544f, 0.07926471f,
    0.08781922f, 0.09930398f, 0.1155599f,  0.1404344f,  0.1836142f,  0.2790016f,
    0.7010474f};

constexpr float Q[9] = {0.0f,      0.6931472f, 0.9333737f, 0.9888778f, 0.9984959f,
                        0.9998293f, 0.9999833f, 0.9999986f, 0.9999999f};

// Algorithm FL (M = 5), split by how often each part runs: the centre of an
// interval accepted at once (about nine deviates in ten) stays in
// snorm_core with few live values; the rest of the centre and the tail
// follow in functions of their own, on the same values in the same order.
// Each returns the magnitude aa + w.

// The centre of interval i (1 to 31) from its first ustar on.
template <class Uniforms>
[[gnu::noinline]] float snorm_centre(Uniforms& draw, int i, float ustar) {
  const float aa = A[i];
  float u, w, tt;
  for (;;) {
    if (ustar > T[i]) {
      w = (ustar - T[i]) * H[i];
      break;
    }
    u = draw();
    w = u * (A[i + 1] - aa);
    tt = (0.5f * w + aa) * w;
    bool accepted = false;
    for (;;) {
      if (ustar > tt) {
        accepted = true;
        break;
      }
      u = draw();
      if (ustar >= u) {
        tt = u;
        ustar = draw();
        continue;
      }
      ustar = draw();
      break;
    }
    if (accepted) break;
  }
  return aa + w;
}

// The tail (interval 0), from the scaled first uniform u.
template <class Uniforms>
[[gnu::noinline]] float snorm_tail(Uniforms& draw, float u) {
  int i = 6;
  float aa = A[32];
  float w, tt, ustar;
  for (;;) {
    u = u + u;
    if (u < 1.0f) {
      aa = aa + D[i];
      i = i + 1;
    } else {
      break;
    }
  }
  u = u - 1.0f;
  for (;;) {
    w = u * D[i];
    tt = (0.5f * w + aa) * w;
    bool accepted = false;
    for (;;) {
      ustar = draw();
      if (ustar > tt) {
        accepted = true;
        break;
      }
      u = draw();
      if (ustar >= u) {
        tt = u;
        continue;
      }
      u = draw();
      break;
    }
    if (accepted) break;
  }
  return aa + w;
}

// The first uniform and the centre accepted at once; the rest out of line.
// A source held in registers goes out as a copy, so that its own address
// is never taken and its seeds stay in registers.
template <class Uniforms>
[[gnu::always_inline]] inline float snorm_fl(Uniforms& draw) {
  float u = draw();
  // The upper half of the first uniform gives the sign: a coin toss, so it
  // must stay a mask (hidden from the optimiser) and never become a branch,
  // which would be mispredicted half the time.
  std::uint32_t pick = 0u - static_cast<std::uint32_t>(u > 0.5f);
  asm("" : "+r"(pick));
  const float s = std::bit_cast<float>(std::bit_cast<std::uint32_t>(1.0f) & pick);
  u = (u + u - s) * 32.0f;
  int i = static_cast<int>(u);
  if (i == 32) i = 31;
  float y;
  if (i != 0) [[likely]] {
    const float ustar = u - static_cast<float>(i);
    if (ustar > T[i]) [[likely]] {
      y = A[i] + (ustar - T[i]) * H[i];
    } else {
      Uniforms out = draw;
      y = snorm_centre(out, i, ustar);
      draw = out;
    }
  } else {
    Uniforms out = draw;
    y = snorm_tail(out, u);
    draw = out;
  }
  const float neg = 0.0f - y;
  return std::bit_cast<float>((std::bit_cast<std::uint32_t>(neg) & pick) |
                              (std::bit_cast<std::uint32_t>(y) & ~pick));
}

// One copy, called by snorm and the gamma deviate: inlined into both it
// would only add code.
[[gnu::noinline]] float snorm_core() {
  GlobalUniforms draw;
  return snorm_fl(draw);
}

// Algorithm SA.  A first uniform that is an exact power of two leaves u = 1,
// above every entry of Q; the walk then stops at the last entry instead of
// reading past the table.
float sexpo_core() {
  float a = 0.0f;
  float u = draw();
  for (;;) {
    u = u + u;
    if (u <= 1.0f) {
      a = a + Q[1];
    } else {
      break;
    }
  }
  u = u - 1.0f;
  if (u <= Q[1]) return a + u;
  int i = 1;
  float ustar = draw();
  float umin = ustar;
  do {
    ustar = draw();
    if (ustar < umin) umin = ustar;
    i = i + 1;
  } while (i < 8 && u > Q[i]);
  return a + umin * Q[1];
}

// Cached set-up of sgamma.
float AA = 0.0f, S2 = 0.0f, S = 0.0f, Dd = 0.0f;
float AAA = 0.0f, Q0 = 0.0f, B = 0.0f, SI = 0.0f, C = 0.0f;

}  // namespace

// ---------------------------------------------------------------------------
// Generator and seeds

void inrgcm() {
  globe.m1 = M1;
  globe.m2 = M2;
  globe.a1 = A1;
  globe.a2 = A2;
  globe.a1w = 1033780774;
  globe.a2w = 1494757890;
  globe.a1vw = 2082007225;
  globe.a2vw = 784306273;
  globe.qanti.fill(false);
  QINIT = true;
}

void setall(i32 iseed1, i32 iseed2) {
  QQSSD = true;
  draws_at_seeding = draws;
  const i32 ocgn = CURNTG;
  if (!QINIT) inrgcm();
  globe.ig1[0] = iseed1;
  globe.ig2[0] = iseed2;
  initgn(-1);
  for (int g = 2; g <= numg; ++g) {
    globe.ig1[g - 1] = mltmod(globe.a1vw, globe.ig1[g - 2], globe.m1);
    globe.ig2[g - 1] = mltmod(globe.a2vw, globe.ig2[g - 2], globe.m2);
    CURNTG = g;
    initgn(-1);
  }
  setcgn(ocgn);
}

void setsd(i32 iseed1, i32 iseed2) {
  if (!QINIT) {
    util::say(" SETSD called before random number generator ", " initialized -- abort!");
    util::fatal_stderr(" SETSD called before random number generator initialized");
  }
  const int g = CURNTG - 1;
  globe.ig1[g] = iseed1;
  globe.ig2[g] = iseed2;
  initgn(-1);
  draws_at_seeding = draws;
}

void getsd(i32& iseed1, i32& iseed2) {
  if (!QINIT) {
    util::say(" GETSD called before random number generator ", " initialized -- abort!");
    util::fatal_stderr(" GETSD called before random number generator initialized");
  }
  iseed1 = globe.cg1[CURNTG - 1];
  iseed2 = globe.cg2[CURNTG - 1];
}

void initgn(i32 isdtyp) {
  if (!QINIT) initgn_uninitialised();
  const int g = CURNTG - 1;
  if (isdtyp == -1) {
    globe.lg1[g] = globe.ig1[g];
    globe.lg2[g] = globe.ig2[g];
  } else if (isdtyp == 0) {
    // keep the block start
  } else if (isdtyp == 1) {
    globe.lg1[g] = mltmod(globe.a1w, globe.lg1[g], globe.m1);
    globe.lg2[g] = mltmod(globe.a2w, globe.lg2[g], globe.m2);
  } else {
    util::fatal_stderr("ISDTYP NOT IN RANGE");
  }
  globe.cg1[g] = globe.lg1[g];
  globe.cg2[g] = globe.lg2[g];
}

void setcgn(i32 g) {
  if (g < 1 || g > numg) {
    util::say(" Generator number out of range in SETCGN:", " Legal range is 1 to ", numg,
              " -- ABORT!");
    util::fatal_stderr(" Generator number out of range in SETCGN");
  }
  CURNTG = g;
}

i32 getcgn() { return CURNTG; }

void setant(bool qvalue) { globe.qanti[CURNTG - 1] = qvalue; }

bool qrgnin() { return QINIT; }

bool qrgnsn(bool qvalue) {
  QINIT = qvalue;
  return true;
}

bool rgnqsd() { return QQSSD; }

i32 mltmod(i32 a, i32 s, i32 m) {
  constexpr i32 h = 32768;
  if (a <= 0 || a >= m || s <= 0 || s >= m) {
    util::say(" A, M, S out of order in MLTMOD - ABORT!");
    util::say(" A = ", a, " S = ", s, " M = ", m);
    util::say(" MLTMOD requires: 0 < A < M; 0 < S < M");
    util::fatal_stderr(" A, M, S out of order in MLTMOD - ABORT!");
  }
  i32 a0, p, k, q;
  if (a < h) {
    a0 = a;
    p = 0;
  } else {
    i32 a1 = a / h;
    a0 = a - h * a1;
    const i32 qh = m / h;
    const i32 rh = m - h * qh;
    if (a1 >= h) {
      a1 = a1 - h;
      k = s / qh;
      p = h * (s - k * qh) - k * rh;
      while (p < 0) p += m;
    } else {
      p = 0;
    }
    if (a1 != 0) {
      q = m / a1;
      k = s / q;
      p = p - k * (m - a1 * q);
      if (p > 0) p -= m;
      p = p + a1 * (s - k * q);
      while (p < 0) p += m;
    }
    k = p / qh;
    p = h * (p - k * qh) - k * rh;
    while (p < 0) p += m;
  }
  if (a0 != 0) {
    q = m / a0;
    k = s / q;
    p = p - k * (m - a0 * q);
    if (p > 0) p -= m;
    p = p + a0 * (s - k * q);
    while (p < 0) p += m;
  }
  return p;
}

i32 ignlgi() {
  ++draws;
  return step();
}

// ---------------------------------------------------------------------------
// Uniforms and phrase seeds

float ranf() { return draw(); }

float genunf(float low, float high) {
  if (low > high) {
    util::say("LOW > HIGH in GENUNF: LOW ", low, " HIGH: ", high);
    util::say("Abort");
    util::fatal_stderr("LOW > High in GENUNF - Abort");
  }
  const float d = high - low;
  return low + d * ranf();
}

i32 ignuin(i32 low, i32 high) {
  constexpr i32 maxnum = 2147483561;
  if (low > high) {
    util::fatal(util::freev("LOW > HIGH in IGNUIN") + "\n" +
                util::freev(" LOW: ", low, " HIGH: ", high) + "\n" +
                util::freev(" Abort on Fatal ERROR") + "\n" + util::freev("LOW > HIGH in IGNUIN"));
  }
  const std::int64_t range = std::int64_t{high} - std::int64_t{low};
  if (range > maxnum) {
    util::fatal(util::freev(" ( HIGH - LOW ) > 2,147,483,561 in IGNUIN") + "\n" +
                util::freev(" LOW: ", low, " HIGH: ", high) + "\n" +
                util::freev(" Abort on Fatal ERROR") + "\n" +
                util::freev(" ( HIGH - LOW ) > 2,147,483,561 in IGNUIN"));
  }
  if (low == high) return low;
  const i32 ranp1 = static_cast<i32>(range) + 1;
  const i32 maxnow = (maxnum / ranp1) * ranp1;
  for (;;) {
    const i32 ign = ignlgi() - 1;
    if (ign <= maxnow) return low + ign % ranp1;
  }
}

i32 lennob(std::string_view s) {
  for (std::size_t i = s.size(); i > 0; --i)
    if (s[i - 1] != ' ') return static_cast<i32>(i);
  return 0;
}

void phrtsd(std::string_view phrase, i32& seed1, i32& seed2) {
  static constexpr std::string_view table =
      "abcdefghijklmnopqrstuvwxyz"
      "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
      "0123456789"
      "!@#$%^&*()_+[];:'\"<>?,./";
  static constexpr i32 twop30 = 1073741824;
  static constexpr i32 shift[6] = {0, 1, 64, 4096, 262144, 16777216};
  seed1 = 1234567890;
  seed2 = 123456789;
  const i32 lphr = lennob(phrase);
  if (lphr < 1) return;
  for (i32 i = 0; i < lphr; ++i) {
    const std::size_t pos = table.find(phrase[static_cast<std::size_t>(i)]);
    i32 ichr = pos == std::string_view::npos ? 0 : static_cast<i32>(pos + 1) % 64;
    if (ichr == 0) ichr = 63;
    i32 values[6];
    for (int j = 1; j <= 5; ++j) {
      values[j] = ichr - j;
      if (values[j] < 1) values[j] += 63;
    }
    for (int j = 1; j <= 5; ++j) {
      seed1 = (seed1 + shift[j] * values[j]) % twop30;
      seed2 = (seed2 + shift[j] * values[6 - j]) % twop30;
    }
  }
}

// ---------------------------------------------------------------------------
// Standard deviates

float snorm() {
  if (normal_hooked) [[unlikely]]
    return normal_hook();
  return snorm_core();
}

void snorm_fill(float* out, long n) {
  if (n <= 0) return;
  if (uniform_hooked || normal_hooked) [[unlikely]] {
    for (long k = 0; k < n; ++k) out[k] = snorm();
    return;
  }
  ready();
  const int g = CURNTG - 1;
  UniformBlock block(globe.cg1[g], globe.cg2[g], globe.qanti[g]);
  BlockUniforms draw{&block, ublock};
  for (long k = 0; k < n; ++k) out[k] = snorm_fl(draw);
  globe.cg1[g] = block.seed1(draw.taken);
  globe.cg2[g] = block.seed2(draw.taken);
  draws += (block.blocks - 1) * ublock + static_cast<std::uint64_t>(draw.taken);
}

// n deviates from the current generator's seeds held in registers; the
// generator is initialised and no hook is installed.
template <class T>
[[gnu::always_inline]] inline void snorm_local(T* out, int n) {
  const int g = CURNTG - 1;
  LocalUniforms draw{globe.cg1[g], globe.cg2[g], globe.qanti[g]};
  for (int k = 0; k < n; ++k) out[k] = snorm_fl(draw);
  globe.cg1[g] = draw.s1;
  globe.cg2[g] = draw.s2;
  draws += draw.steps;
}

void snorm_few(float* out, int n) {
  if (n <= 0) return;
  if (uniform_hooked || normal_hooked) [[unlikely]] {
    for (int k = 0; k < n; ++k) out[k] = snorm();
    return;
  }
  ready();
  snorm_local(out, n);
}

namespace {

// The uniforms of a run of snorm_few_n calls with nothing else drawn from
// the generator between them, as in a pass over a model's blocks: a block of
// them worked out ahead and kept from call to call.  The block is a function
// of the seeds alone, so it stays good while the generator's seeds are those
// the last call left, whoever set them.  A call that does not continue a run
// steps the seeds in registers, and only the second of a run builds a block,
// so that calls between other draws never pay for one.
struct FewAhead {
  int gen = -1;
  bool anti = false;
  bool built = false;
  i32 seed1 = 0, seed2 = 0;  // the seeds the last call left
  int taken = 0;             // of the block's current uniforms
  UniformBlock block{0, 0, false};
};
FewAhead few_ahead;

}  // namespace

template <int N>
void snorm_few_n(double* out) {
  if (uniform_hooked || normal_hooked || !QINIT || !QQSSD) [[unlikely]] {
    float f[N];
    snorm_few(f, N);
    for (int k = 0; k < N; ++k) out[k] = f[k];
    return;
  }
  const int g = CURNTG - 1;
  FewAhead& a = few_ahead;
  const bool anti = globe.qanti[g];
  if (a.gen != g || a.seed1 != globe.cg1[g] || a.seed2 != globe.cg2[g] || a.anti != anti)
      [[unlikely]] {
    snorm_local(out, N);
    a.gen = g;
    a.anti = anti;
    a.built = false;
    a.seed1 = globe.cg1[g];
    a.seed2 = globe.cg2[g];
    return;
  }
  if (!a.built) [[unlikely]] {
    a.block.start(a.seed1, a.seed2, anti);
    a.taken = ublock;
    a.built = true;
  }
  const std::uint64_t blocks = a.block.blocks;
  const int taken = a.taken;
  BlockUniforms draw{&a.block, taken};
  for (int k = 0; k < N; ++k) out[k] = snorm_fl(draw);
  a.taken = draw.taken;
  a.seed1 = globe.cg1[g] = a.block.seed1(draw.taken);
  a.seed2 = globe.cg2[g] = a.block.seed2(draw.taken);
  draws += (a.block.blocks - blocks) * ublock + static_cast<std::uint64_t>(draw.taken) -
           static_cast<std::uint64_t>(taken);
}

template void snorm_few_n<2>(double*);
template void snorm_few_n<3>(double*);
template void snorm_few_n<4>(double*);

NormalsAhead::NormalsAhead(long total) : left_(total), outer_(normals_ahead) {
  normals_ahead = this;
}

NormalsAhead::~NormalsAhead() {
  normals_ahead = outer_;
  if (pos_ == end_) return;
  // Back to the start of the chunk, then the taken ones again.
  globe.cg1[gen_] = seed1_;
  globe.cg2[gen_] = seed2_;
  draws = draws_;
  snorm_fill(buf_, pos_);
}

void NormalsAhead::refill() {
  // A hook hands out values that cannot be taken back: one at a time.
  long n = 1;
  if (!uniform_hooked && !normal_hooked) [[likely]] {
    ready();  // before the state is kept
    gen_ = CURNTG - 1;
    seed1_ = globe.cg1[gen_];
    seed2_ = globe.cg2[gen_];
    draws_ = draws;
    if (left_ > 1) n = std::min<long>(chunk, left_);
  }
  snorm_fill(buf_, n);
  left_ -= n;
  pos_ = 0;
  end_ = static_cast<int>(n);
}

float sexpo() { return sexpo_core(); }

float sgamma(float a) {
  // Shapes of 0 or below (and NaN) have no gamma distribution; 0 would also
  // match the cleared cache and be drawn with stale constants.
  if (!(a > 0.0f)) {
    util::fatal(util::freev(" Shape of gamma deviate not positive in SGAMMA: ", a));
  }
  constexpr float q1 = 0.04166669f, q2 = 0.02083148f, q3 = 0.00801191f, q4 = 0.00144121f,
                  q5 = -0.00007388f, q6 = 0.00024511f, q7 = 0.0002424f;
  constexpr float a1 = 0.3333333f, a2 = -0.250003f, a3 = 0.2000062f, a4 = -0.1662921f,
                  a5 = 0.1423657f, a6 = -0.1367177f, a7 = 0.1233795f;
  constexpr float e1 = 1.0f, e2 = 0.4999897f, e3 = 0.166829f, e4 = 0.0407753f, e5 = 0.010293f;
  (void)e1;
  constexpr float sqrt32 = 5.656854f;

  if (a != AA) {
    if (a < 1.0f) {
      // Algorithm GS.
      AA = 0.0f;
      const float b0 = 1.0f + 0.3678794f * a;
      for (;;) {
        const float u = draw();
        const float p = u * b0;
        if (p < 1.0f) {
          const float g = std::exp(std::log(p) / a);
          const float e = sexpo_core();
          if (e < g) continue;
          return g;
        }
        const float g = -std::log((b0 - p) / a);
        const float e = sexpo_core();
        if (e < (1.0f - a) * std::log(g)) continue;
        return g;
      }
    }
    S2 = a - 0.5f;
    S = std::sqrt(S2);
    Dd = sqrt32 - 12.0f * S;
    AA = a;
  }

  // Algorithm GD.
  const float s = S, s2 = S2;
  float t = snorm_core();
  float x = s + 0.5f * t;
  if (t >= 0.0f) return x * x;

  float u = draw();
  if (Dd * u <= t * t * t) return x * x;

  if (a != AAA) {
    AAA = a;
    const float r = 1.0f / a;
    Q0 = ((((((q7 * r + q6) * r + q5) * r + q4) * r + q3) * r + q2) * r + q1) * r;
    if (a <= 3.686f) {
      B = (0.178f * s2 + 0.463f) + s;
      SI = 1.235f;
      C = (0.195f / s - 0.079f) + 0.16f * s;
    } else if (a <= 13.022f) {
      B = 0.0076f * s2 + 1.654f;
      SI = 1.68f / s + 0.275f;
      C = 0.062f / s + 0.024f;
    } else {
      B = 1.77f;
      SI = 0.75f;
      C = 0.1515f / s;
    }
  }

  float q, v;
  if (x > 0.0f) {
    v = t / (s + s);
    if (std::fabs(v) > 0.25f) {
      q = Q0 - s * t + 0.25f * t * t + (s2 + s2) * std::log(1.0f + v);
    } else {
      q = Q0 + 0.5f * t * t * ((((((a7 * v + a6) * v + a5) * v + a4) * v + a3) * v + a2) * v + a1) * v;
    }
    if (std::log(1.0f - u) <= q) return x * x;
  }

  // Double-exponential rejection.
  for (;;) {
    const float e = sexpo_core();
    u = draw();
    u = (u - 1.0f) + u;
    t = u >= 0.0f ? B + SI * e : B - SI * e;
    if (t < -0.7187449f) continue;
    v = t / (s + s);
    if (std::fabs(v) > 0.25f) {
      q = Q0 - s * t + 0.25f * t * t + (s2 + s2) * std::log(1.0f + v);
    } else {
      q = Q0 + 0.5f * t * t * ((((((a7 * v + a6) * v + a5) * v + a4) * v + a3) * v + a2) * v + a1) * v;
    }
    if (q <= 0.0f) continue;
    float w;
    if (q <= 0.5f) {
      w = ((((e5 * q + e4) * q + e3) * q + e2) * q + 1.0f) * q;
    } else {
      w = std::exp(q) - 1.0f;
    }
    // An overflowing right-hand side compares false and accepts.
    if (C * std::fabs(u) > w * std::exp(e - t * (0.5f * t))) continue;
    break;
  }
  x = s + 0.5f * t;
  return x * x;
}

float gengam(float a, float r) { return sgamma(r) / a; }

float genchi(float df) {
  if (df <= 0.0f) {
    util::say("DF <= 0 in GENCHI - ABORT");
    util::say("Value of DF: ", df);
    util::fatal_stderr("DF <= 0 in GENCHI - ABORT");
  }
  return 2.0f * sgamma(0.5f * df);
}

// ---------------------------------------------------------------------------
// State of the stream

Stream stream() {
  ready();
  const int g = CURNTG - 1;
  return {CURNTG, globe.cg1[g], globe.cg2[g], globe.qanti[g], draws};
}

void set_stream(const Stream& s) {
  ready();
  setcgn(s.generator);
  const int g = CURNTG - 1;
  globe.cg1[g] = s.seed1;
  globe.cg2[g] = s.seed2;
  globe.qanti[g] = s.antithetic;
  draws = s.draws;
}

bool possible_stream(const Stream& s) {
  return s.generator >= 1 && s.generator <= numg && s.seed1 >= 0 && s.seed1 < M1 && s.seed2 >= 0 &&
         s.seed2 < M2 && (s.seed1 != 0 || s.seed2 != 0);
}

namespace {

// a^n s mod m, for s in [0, m).
std::uint64_t stepped(std::uint64_t a, std::uint64_t n, std::uint64_t s, std::uint64_t m) {
  n %= m - 1;  // m is prime: a^(m-1) is 1
  std::uint64_t p = 1;
  for (; n > 0; n >>= 1, a = a * a % m)
    if (n & 1) p = p * a % m;
  return p * s % m;
}

}  // namespace

bool seeded_stream(const Stream& s) {
  ready();
  if (s.generator < 1 || s.generator > numg || s.draws < draws_at_seeding) return false;
  const int g = s.generator - 1;
  if (s.antithetic != globe.qanti[g]) return false;
  const std::uint64_t n = s.draws - draws_at_seeding;
  i32 s1 = globe.ig1[g], s2 = globe.ig2[g];
  if (n == 0) return s1 == s.seed1 && s2 == s.seed2;
  // The first step as the generator takes it, from seeds that may lie
  // outside [0, m); the others by a power of each multiplier.
  step_seeds(s1, s2);
  return stepped(A1, n - 1, static_cast<std::uint64_t>(s1), M1) == static_cast<std::uint64_t>(s.seed1) &&
         stepped(A2, n - 1, static_cast<std::uint64_t>(s2), M2) == static_cast<std::uint64_t>(s.seed2);
}

// ---------------------------------------------------------------------------
// Test seam

void set_uniform_hook(std::function<float()> hook) {
  uniform_hook = std::move(hook);
  uniform_hooked = static_cast<bool>(uniform_hook);
}

void set_normal_hook(std::function<float()> hook) {
  normal_hook = std::move(hook);
  normal_hooked = static_cast<bool>(normal_hook);
}

void clear_hooks() {
  set_uniform_hook({});
  set_normal_hook({});
}

std::uint64_t uniform_draws() { return draws; }

void allow_wide_registers(bool allow) {
#if defined(RANGEN_AVX2)
  wide_allowed = allow;
#else
  (void)allow;
#endif
}

}  // namespace rangen
