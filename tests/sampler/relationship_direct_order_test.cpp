// Later cycles add an additive group's terms straight into the values of the
// compressed-row copy, in an order planned once for the run: every value must
// come out bit for bit as the additions through the hash store give it, for
// copies large enough to be walked in several windows and for parents with
// many offspring (elements with hundreds of additions).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "run/cycle.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/relationship.hpp"
#include "sparse/sparsem.hpp"
#include "stop_capture.hpp"

namespace {

using model::m;

// Position of (r, c) among the values of the copy, 0-based; -1 if absent.
std::int32_t position(std::int32_t r, std::int32_t c, const void* ctx) {
  const sparsem::sparse_ija& B = *static_cast<const sparsem::sparse_ija*>(ctx);
  if (r < 1 || r > B.n) return -1;
  for (std::int32_t k = B.ia(r); k < B.ia(r + 1); ++k)
    if (B.ja(k) == c) return k - 1;
  return -1;
}

// What the record pass leaves in element (r, c) before the group's terms.
double record_part(std::int32_t r, std::int32_t c) { return 0.37 * ((r * 31 + c * 17) % 23) - 1.3; }

struct Case {
  const char* name;
  int nt, animals, sires;
  model::RandomType type;
};

void check(const Case& c) {
  SCOPED_TRACE(c.name);
  sampler::RelationshipTerms planned, plain;
  eqtest::new_model(c.nt, {model::EffectType::cro}, {c.animals}, 1);
  for (int t = 1; t <= c.nt; ++t) m.pos_eff(1, t) = 1;
  m.randomtype(1) = c.type;
  m.randomnumb(1) = 1;
  m.lenped(1) = c.animals;
  const auto set_g = [&](double base) {
    for (int i = 1; i <= c.nt; ++i)
      for (int j = 1; j <= c.nt; ++j) m.g(1, i, j) = i == j ? base + 0.3 * i : 0.11 * (i + j);
  };
  model::State s;
  eqtest::new_state(s);
  sparsem::zero_sparse_hashm(s.XX, s.neq);
  // The first animals are the sires; every later one has a sire among them
  // (a few with hundreds of offspring) and most have a dam.
  for (int a = 1; a <= c.animals; ++a) {
    s.PED(1, a, 1) = a;
    s.PED(1, a, 2) = a > c.sires ? 1 + (a * 7) % c.sires : 0;
    s.PED(1, a, 3) = a > c.sires && a % 5 != 0 ? c.sires + 1 + (a * 13) % (a - c.sires) : 0;
    if (s.PED(1, a, 3) >= a) s.PED(1, a, 3) = 0;
  }

  // First cycle: the terms and the keys of the table.
  m.start = m.round = 1;
  set_g(1.0);
  run::invert_group_blocks();
  testsupport::captured([&] { sampler::add_g_add(s, c.type, 1, planned); });
  sparsem::sparse_ija B;
  sparsem::convert_hash_ija(B, s.XX);
  ASSERT_TRUE(sampler::plan_group_positions(planned, 1, c.type, position, &B));

  // A later cycle both ways, from the same record part.
  m.round = 2;
  set_g(2.5);
  run::invert_group_blocks();
  std::vector<double> a(static_cast<std::size_t>(B.nel));
  sparsem::zero_values_sparse_hashm(s.XX);
  for (std::int32_t r = 1; r <= B.n; ++r)
    for (std::int32_t k = B.ia(r); k < B.ia(r + 1); ++k) {
      a[static_cast<std::size_t>(k - 1)] = record_part(r, B.ja(k));
      sparsem::add_sparse_hashm(record_part(r, B.ja(k)), r, B.ja(k), s.XX);
    }
  ASSERT_TRUE(sampler::add_g_add_direct(s, c.type, 1, a.data(), planned));
  sampler::add_g_add(s, c.type, 1, plain);
  for (std::int32_t r = 1; r <= B.n; ++r)
    for (std::int32_t k = B.ia(r); k < B.ia(r + 1); ++k) {
      const double want = sparsem::get_sparse_hashm(r, B.ja(k), s.XX);
      const double got = a[static_cast<std::size_t>(k - 1)];
      ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0)
          << "(" << r << ", " << B.ja(k) << "): " << got << " vs " << want;
    }
}

TEST(RelationshipDirectOrder, PlannedAdditionsMatchTheTableBitForBit) {
  const Case cases[] = {
      {"one trait, one window", 1, 300, 3, model::RandomType::add_animal},
      {"one trait, many windows", 1, 6000, 4, model::RandomType::add_animal},
      {"two traits, many windows", 2, 3000, 5, model::RandomType::add_animal},
      {"three traits, sire model", 3, 1500, 6, model::RandomType::add_sire},
  };
  for (const Case& c : cases) check(c);
}

}  // namespace
