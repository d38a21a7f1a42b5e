// Sets of enumeration values: the toolkit's one "set of" type.
//
// The terminal's code reasons in sets of enumerations (job flags, grid
// options, font styles, certificate capabilities ...). Every such set is a
// TEnumSet: a bit set indexed by the values' ordinals, held in one unsigned
// word. The word is 32 bits unless a set names another (the styles keep 64
// bits, the HTTP security flags 8), so a set stores and compares as that word.
//
// Ordinals the word cannot hold. A value whose ordinal is negative or not
// below the word's width is never a member: Include and Exclude leave the set
// as it was and Contains answers false. No shift past the word is ever made.
//
// FromBits takes a word as it is, bits without a named value included, so
// that a set stored by a newer version reads back unchanged; Bits gives the
// word back.
//
// Operators, each with one meaning:
//   a + b          union
//   a * b          intersection
//   a - b          difference (the members of a that are not in b)
//   a == b         the same members
//
// Everything is constexpr and noexcept. A set is a plain value with no lock:
// threads that write one guard it as they would guard an integer.
//
// The type lives in namespace tarvo rather than tarvo::platform: it is a piece
// of the toolkit's vocabulary, not a stand-in for an operating-system
// facility, and every library names it unqualified beside its own aliases
// (using TJobFlags = TEnumSet<TJobFlag>).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <type_traits>

namespace tarvo {

template <class E, class Word = std::uint32_t>
class TEnumSet {
  static_assert(std::is_enum_v<E>, "a TEnumSet holds values of an enumeration");
  static_assert(std::is_integral_v<Word> && std::is_unsigned_v<Word> && !std::is_same_v<Word, bool>,
                "the word of a TEnumSet is an unsigned integer type");

 public:
  using value_type = E;
  using word_type = Word;
  // How many ordinals (0 .. Capacity-1) the set can hold.
  static constexpr unsigned Capacity = std::numeric_limits<Word>::digits;

  constexpr TEnumSet() noexcept = default;
  constexpr TEnumSet(std::initializer_list<E> values) noexcept {
    for (E v : values) fBits = static_cast<Word>(fBits | Bit(v));
  }

  static constexpr TEnumSet FromBits(Word bits) noexcept {
    TEnumSet s;
    s.fBits = bits;
    return s;
  }
  constexpr Word Bits() const noexcept { return fBits; }

  constexpr bool Contains(E v) const noexcept { return (fBits & Bit(v)) != 0; }
  constexpr bool Empty() const noexcept { return fBits == 0; }

  constexpr TEnumSet& Include(E v) noexcept {
    fBits = static_cast<Word>(fBits | Bit(v));
    return *this;
  }
  constexpr TEnumSet& Exclude(E v) noexcept {
    fBits = static_cast<Word>(fBits & static_cast<Word>(~Bit(v)));
    return *this;
  }

  friend constexpr TEnumSet operator+(TEnumSet a, TEnumSet b) noexcept {
    return FromBits(static_cast<Word>(a.fBits | b.fBits));
  }
  friend constexpr TEnumSet operator*(TEnumSet a, TEnumSet b) noexcept {
    return FromBits(static_cast<Word>(a.fBits & b.fBits));
  }
  friend constexpr TEnumSet operator-(TEnumSet a, TEnumSet b) noexcept {
    return FromBits(static_cast<Word>(a.fBits & static_cast<Word>(~b.fBits)));
  }
  friend constexpr bool operator==(TEnumSet a, TEnumSet b) noexcept { return a.fBits == b.fBits; }

 private:
  // The bit of a value, or no bit when its ordinal does not fit the word.
  static constexpr Word Bit(E v) noexcept {
    using Underlying = std::underlying_type_t<E>;
    const auto ordinal = static_cast<Underlying>(v);
    if constexpr (std::is_signed_v<Underlying>) {
      if (ordinal < 0) return 0;
    }
    if (static_cast<std::uintmax_t>(ordinal) >= Capacity) return 0;
    return static_cast<Word>(Word{1} << static_cast<unsigned>(ordinal));
  }

  Word fBits = 0;
};

}  // namespace tarvo
