#include "platform/core/Sets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace tarvo {
namespace {

enum TFruit { frApple, frPear, frPlum, frQuince };
// Any ordinal at all, negative ones included, to probe the edges of a word.
enum class TOrdinal : int {};

constexpr TOrdinal Ord(int n) {
  return static_cast<TOrdinal>(n);
}

// A set is usable in constant expressions, where the compiler itself would
// reject a shift past the word.
static_assert(TEnumSet<TFruit>{frApple, frPlum}.Bits() == 0b101u);
static_assert(TEnumSet<TOrdinal, std::uint8_t>{Ord(8), Ord(-1)}.Empty());
static_assert(TEnumSet<TFruit>{frPear}.Include(frQuince).Exclude(frPear) ==
              TEnumSet<TFruit>{frQuince});

template <class Word>
void CheckOrdinalsOfWord() {
  using Set = TEnumSet<TOrdinal, Word>;
  constexpr int width = std::numeric_limits<Word>::digits;
  constexpr Word all = std::numeric_limits<Word>::max();
  const struct {
    int ordinal;
    bool fits;
  } cases[] = {
      {0, true},          {1, true},
      {width - 1, true},  {width, false},
      {width + 1, false}, {1000, false},
      {-1, false},        {std::numeric_limits<int>::min(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "word of " << width << " bits, ordinal " << c.ordinal);
    Set s;
    s.Include(Ord(c.ordinal));
    EXPECT_EQ(s.Contains(Ord(c.ordinal)), c.fits);
    EXPECT_EQ(s.Bits(), c.fits ? static_cast<Word>(Word{1} << c.ordinal) : Word{0});
    EXPECT_EQ(Set{Ord(c.ordinal)}, s);  // the list constructor agrees with Include
    s.Exclude(Ord(c.ordinal));
    EXPECT_TRUE(s.Empty());

    // A value that does not fit is no member of a full set either, and
    // excluding it takes nothing else away.
    Set full = Set::FromBits(all);
    EXPECT_EQ(full.Contains(Ord(c.ordinal)), c.fits);
    full.Exclude(Ord(c.ordinal));
    EXPECT_EQ(full.Bits(), c.fits ? static_cast<Word>(all & ~(Word{1} << c.ordinal)) : all);
  }
}

TEST(TEnumSet, OnlyOrdinalsThatFitTheWordAreMembers) {
  CheckOrdinalsOfWord<std::uint8_t>();
  CheckOrdinalsOfWord<std::uint16_t>();
  CheckOrdinalsOfWord<std::uint32_t>();
  CheckOrdinalsOfWord<std::uint64_t>();
}

TEST(TEnumSet, OperatorsAreUnionIntersectionAndDifference) {
  using Set = TEnumSet<TFruit>;
  const Set a{frApple, frPear};
  const Set b{frPear, frPlum};
  const struct {
    const char* what;
    Set got, want;
  } cases[] = {
      {"a + b", a + b, Set{frApple, frPear, frPlum}},
      {"a * b", a * b, Set{frPear}},
      {"a - b", a - b, Set{frApple}},
      {"b - a", b - a, Set{frPlum}},
      {"a - a", a - a, Set{}},
      {"a + {}", a + Set{}, a},
      {"a * {}", a * Set{}, Set{}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;

  EXPECT_NE(a, b);
  EXPECT_TRUE((a * Set{frQuince}).Empty());
  EXPECT_FALSE((a + b).Contains(frQuince));

  // Include and Exclude return the set, so that they chain on one object.
  Set s;
  s.Include(frQuince).Include(frApple).Exclude(frQuince);
  EXPECT_EQ(s, Set{frApple});
}

TEST(TEnumSet, BitsRoundTripThroughEveryWord) {
  // Bits without a named value survive, so a set stored by a newer version
  // reads back as it was written.
  EXPECT_EQ((TEnumSet<TFruit, std::uint8_t>::FromBits(0xFF).Bits()), 0xFFu);
  EXPECT_EQ((TEnumSet<TFruit>::FromBits(0x80000005u).Bits()), 0x80000005u);
  const std::uint64_t top = std::uint64_t{1} << 63 | 0b1010;
  EXPECT_EQ((TEnumSet<TFruit, std::uint64_t>::FromBits(top).Bits()), top);

  const auto s = TEnumSet<TFruit, std::uint64_t>::FromBits(0b1010);
  EXPECT_FALSE(s.Contains(frApple));
  EXPECT_TRUE(s.Contains(frPear));
  EXPECT_FALSE(s.Contains(frPlum));
  EXPECT_TRUE(s.Contains(frQuince));
  EXPECT_EQ(s, (TEnumSet<TFruit, std::uint64_t>{frPear, frQuince}));

  // The word is the set's whole state: 8-bit sets stay one byte.
  static_assert(sizeof(TEnumSet<TFruit, std::uint8_t>) == 1);
  static_assert(sizeof(TEnumSet<TFruit, std::uint64_t>) == 8);
}

}  // namespace
}  // namespace tarvo
