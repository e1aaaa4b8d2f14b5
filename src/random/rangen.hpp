// Random number generator library: L'Ecuyer's combined multiplicative
// congruential generator (32 virtual generators, with the splitting facilities
// of L'Ecuyer and Cote), single-precision uniform, normal, exponential and
// gamma deviates (Ahrens-Dieter FL, SA, GD, GS), the library's own normal
// distribution routines, and its normal / multivariate normal deviates.
//
// Integer arithmetic is exact 32-bit and the deviates are single precision,
// so that one seed reproduces one stream on every machine.  The state is
// global and no routine is re-entrant.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "util/array.hpp"

namespace rangen {

using i32 = std::int32_t;

inline constexpr int numg = 32;  // number of virtual generators

// ---- generator and seeds -------------------------------------------------

void inrgcm();                     // sets the constants, clears antithetic flags
void setall(i32 iseed1, i32 iseed2);  // seeds generator 1 and derives 2..32
void setsd(i32 iseed1, i32 iseed2);   // initial seeds of the current generator
void getsd(i32& iseed1, i32& iseed2);  // current state of the current generator
void initgn(i32 isdtyp);           // -1 initial seeds, 0 block start, 1 next block
void setcgn(i32 g);
i32 getcgn();
void setant(bool qvalue);          // antithetic flag of the current generator
bool qrgnin();
bool qrgnsn(bool qvalue);
bool rgnqsd();
i32 mltmod(i32 a, i32 s, i32 m);   // (a*s) mod m without overflow
i32 ignlgi();                      // next integer of the current generator

// ---- uniform deviates and phrase seeds -----------------------------------

float ranf();                      // uniform in [2^-31, 1 - 2^-24]
float genunf(float low, float high);
i32 ignuin(i32 low, i32 high);
i32 lennob(std::string_view s);
void phrtsd(std::string_view phrase, i32& seed1, i32& seed2);

// ---- standard deviates ---------------------------------------------------

float snorm();                     // standard normal
// The next n values of snorm(), from the generator's uniforms worked out
// a block at a time: the same values and the same state after as n calls.
void snorm_fill(float* out, long n);
// The same for a few (a block's worth), which a whole block of uniforms
// would cost more than it saves: the seeds stay in registers between them.
void snorm_few(float* out, int n);
// snorm_few for N = 2 to 4 known when compiled, each value widened.
template <int N>
void snorm_few_n(double* out);
extern template void snorm_few_n<2>(double*);
extern template void snorm_few_n<3>(double*);
extern template void snorm_few_n<4>(double*);
float sexpo();                     // standard exponential
float sgamma(float a);             // standard gamma, shape a > 0
float gengam(float a, float r);    // gamma with rate a and shape r
float genchi(float df);            // chi-square

// ---- normals drawn ahead -------------------------------------------------
// For a caller that takes `total` standard normals one after another while
// nothing else draws from the generator: they are drawn ahead in chunks by
// snorm_fill.  While one lives, normals_ahead points at it.  Its end (also
// early, or by an exception) leaves the generator where as many calls of
// snorm() as were taken leave it.
class NormalsAhead {
 public:
  explicit NormalsAhead(long total);
  ~NormalsAhead();
  NormalsAhead(const NormalsAhead&) = delete;
  NormalsAhead& operator=(const NormalsAhead&) = delete;

  [[gnu::always_inline]] float next() {
    if (pos_ == end_) [[unlikely]]
      refill();
    return buf_[pos_++];
  }

 private:
  void refill();
  static constexpr int chunk = 256;
  int pos_ = 0, end_ = 0;
  long left_;
  NormalsAhead* outer_;
  // The current generator and the count of uniforms at the chunk's start.
  int gen_ = 0;
  i32 seed1_ = 0, seed2_ = 0;
  std::uint64_t draws_ = 0;
  float buf_[chunk];
};

inline NormalsAhead* normals_ahead = nullptr;

// ---- state of the stream -------------------------------------------------
// Where the stream stands: the current generator, its seeds and antithetic
// flag, and the count of uniforms handed out.  It is all a chain that goes
// on in another process needs to draw what it would have drawn: the blocks
// of uniforms kept between calls are a function of the seeds alone, the
// gamma deviate's set-up of its shape is worked out again from the shape,
// and normals drawn ahead live only inside a pass (take the state between
// passes, when no NormalsAhead lives).
struct Stream {
  i32 generator = 1;
  i32 seed1 = 0, seed2 = 0;
  bool antithetic = false;
  std::uint64_t draws = 0;
};
Stream stream();
// Sets the stream to s, setting the generator up first when it is not.
void set_stream(const Stream& s);
// True when s could be a state of the stream: a generator from 1 to numg,
// seeds that a step gives (0 <= seed1 < m1, 0 <= seed2 < m2), not both 0.
bool possible_stream(const Stream& s);
// True when s is where the last seeding (setall, setsd) leads: the seeds of
// generator s.generator then, stepped once for each uniform drawn since
// (s.draws less the count at the seeding), the antithetic flag as it is.
bool seeded_stream(const Stream& s);

// ---- test seam -----------------------------------------------------------
// A test may replace the uniform source (every uniform of every deviate,
// including those drawn inside snorm, sexpo and sgamma) and, separately,
// the standard normal deviates that snorm() hands out.  The normal hook acts
// on snorm() only: sgamma keeps drawing its normal in line from the uniform
// source.  Production never installs a hook.
void set_uniform_hook(std::function<float()> hook);
void set_normal_hook(std::function<float()> hook);
void clear_hooks();
// Number of uniforms handed out (generator steps plus scripted values) since
// the program started; lets tests check how many a deviate consumed.
std::uint64_t uniform_draws();
// Blocks of uniforms use the processor's wider registers where it has them;
// a test turns that off to run the narrower path on the same machine.
void allow_wide_registers(bool allow);

// ---- normal distribution routines (64-bit) --------------------------------

void cdfnor(i32 which, double& p, double& q, double& x, double& mean, double& sd,
            i32& status, double& bound);
void cumnor(double arg, double& result, double& ccum);
double dinvnr(double p, double q);
double stvaln(double p);
double devlpl(const double* a, i32 n, double x);  // a[0] + a[1] x + ...
i32 ipmpar(i32 i);
double spmpar(i32 i);

// ---- normal and multivariate normal deviates (32-bit) ---------------------

float gennor(float av, float sd);
// parm holds p, the mean and the upper Cholesky factor row by row:
// p*(p+3)/2 + 1 values.  covm (p by p) has its upper triangle replaced by
// the factor.
void setgmn(const util::vec1<float>& meanv, util::mat1<float>& covm, i32 p,
            util::vec1<float>& parm);
void genmn(const util::vec1<float>& parm, util::vec1<float>& x, util::vec1<float>& work);
void genmtn(const util::vec1<float>& meanv, util::mat1<float>& covm, i32 p,
            util::vec1<float>& x);
// Column-major a with leading dimension lda; info = 0 on success, else the
// column whose pivot was not positive.
void spofa(float* a, i32 lda, i32 n, i32& info);
float sdot(i32 n, const float* sx, i32 incx, const float* sy, i32 incy);

}  // namespace rangen
