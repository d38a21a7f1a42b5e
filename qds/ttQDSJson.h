// The client's JSON documents: a small facade over RapidJSON.
//
// Answers of the service are untrusted. Everything here checks a value's type
// before it reads it, so hostile input can neither reach an assertion of the
// library nor read the wrong kind of value: asking an array for a member, a
// string for a number or an index past the end answers "none" (an empty
// TJsonValue) or nullopt. Parsing runs without recursion and refuses documents
// nested deeper than TJsonDocument::MaxDepth, so neither parsing nor the
// recursive walks of the library (rendering) can exhaust the stack.
//
// RapidJSON itself stays behind this header: only the client's own sources
// include it (qds/ttQDSJsonDetail.h), with its assertions turned into
// exceptions as a last line of defence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qds/ttQDSPrimitives.h"

namespace tarvo {

// A text that is not a JSON document, or is nested too deeply. what() names
// the problem and the byte offset where it was found.
class EQDSJsonError : public EQDSException {
 public:
  EQDSJsonError(const std::string& message, std::size_t offset)
      : EQDSException(message), fOffset(offset) {}
  std::size_t Offset() const noexcept { return fOffset; }

 private:
  std::size_t fOffset;
};

enum class TJsonType : std::uint8_t {
  jtNone,
  jtNull,
  jtBool,
  jtNumber,
  jtString,
  jtArray,
  jtObject
};

// A read-only view of one value of a TJsonDocument, or "none". Cheap to copy.
// Valid while its document lives; never owns anything.
class TJsonValue {
 public:
  TJsonValue() = default;

  bool Exists() const noexcept { return fValue != nullptr; }
  explicit operator bool() const noexcept { return Exists(); }
  TJsonType Type() const noexcept;
  bool IsNull() const noexcept { return Type() == TJsonType::jtNull; }
  bool IsBool() const noexcept { return Type() == TJsonType::jtBool; }
  bool IsNumber() const noexcept { return Type() == TJsonType::jtNumber; }
  bool IsString() const noexcept { return Type() == TJsonType::jtString; }
  bool IsArray() const noexcept { return Type() == TJsonType::jtArray; }
  bool IsObject() const noexcept { return Type() == TJsonType::jtObject; }

  // Objects: the first member with that name (names compare exactly), or none
  // when this is no object or has no such member.
  TJsonValue Member(std::string_view name) const noexcept;
  bool HasMember(std::string_view name) const noexcept { return Member(name).Exists(); }
  // Members by position; 0 and none for anything but an object.
  std::size_t MemberCount() const noexcept;
  std::string_view MemberName(std::size_t index) const noexcept;
  TJsonValue MemberValue(std::size_t index) const noexcept;

  // Arrays: 0 and none for anything but an array, and past the end.
  std::size_t Size() const noexcept;
  TJsonValue At(std::size_t index) const noexcept;
  TJsonValue operator[](std::size_t index) const noexcept { return At(index); }

  // Scalars: nullopt unless the value is of that kind and fits. Int32/Int64
  // accept only integers in range (no rounding of 1.5, no wrap of 2^40);
  // Double accepts any number.
  std::optional<std::string_view> String() const noexcept;
  std::optional<bool> Bool() const noexcept;
  std::optional<std::int32_t> Int32() const noexcept;
  std::optional<std::int64_t> Int64() const noexcept;
  std::optional<double> Double() const noexcept;

  // The value as text: a string is itself, anything else its compact JSON
  // ("null", "true", "12", "{\"a\":1}"); none gives "".
  std::string AsText() const;
  // Compact JSON of the value; with escapeNonAscii every character outside
  // ASCII is written as \uXXXX.
  std::string Render(bool escapeNonAscii = false) const;

  // For the client's own sources (qds/ttQDSJsonDetail.h).
  const void* Raw() const noexcept { return fValue; }
  static TJsonValue FromRaw(const void* value) noexcept {
    TJsonValue v;
    v.fValue = value;
    return v;
  }

 private:
  const void* fValue = nullptr;
};

// One parsed JSON document; owns all its values and the text they were
// parsed from. Numbers are converted with correct rounding: a number written
// with up to 17 significant digits reads back as exactly the double it was
// written from. Not copyable; safe to hand between threads (used by one at a
// time).
class TJsonDocument {
 public:
  // Deepest nesting of arrays and objects a document may have. Answers of the
  // service are four levels deep.
  static constexpr unsigned MaxDepth = 512;

  ~TJsonDocument();
  TJsonDocument(const TJsonDocument&) = delete;
  TJsonDocument& operator=(const TJsonDocument&) = delete;

  // Parses UTF-8 JSON text (a leading byte-order mark is skipped). Throws
  // EQDSJsonError for text that is not one complete JSON value or is nested
  // deeper than MaxDepth. Bytes that are not UTF-8 become U+FFFD in strings.
  static std::unique_ptr<TJsonDocument> Parse(std::string_view text);
  // As Parse, taking the text over: the document parses it in place and keeps
  // it (its strings point into it), so a large answer is not copied.
  static std::unique_ptr<TJsonDocument> ParseOwned(std::string text);

  TJsonValue Root() const noexcept;
  // Compact JSON text of the whole document (see TJsonValue::Render).
  std::string Render(bool escapeNonAscii = false) const { return Root().Render(escapeNonAscii); }

  // For the client's own sources.
  void* RawDocument() const noexcept;

 private:
  TJsonDocument();
  struct Impl;
  std::unique_ptr<Impl> fImpl;
};

}  // namespace tarvo
