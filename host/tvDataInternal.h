// Internal helpers shared by the data layer's sources; not part of the
// library's interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/tvDataTable.h"
#include "host/tvDataVariant.h"

namespace tarvo::detail {

// A value converted to a column's raw cell form.
struct TRawCell {
  bool isNull = true;
  int type = 0;
  alignas(8) unsigned char fixed[16] = {};
  std::uint32_t size = 0;
  std::string text;
  std::shared_ptr<const IMdsCustomValue> custom;

  const void* Ptr() const noexcept {
    if (IsTextType(type)) return text.data();
    if (type == mtcCustom) return &custom;
    return fixed;
  }
  std::size_t Len() const noexcept {
    if (IsTextType(type)) return text.size();
    if (type == mtcCustom) return sizeof(custom);
    return size;
  }
};

// Converts a value to the column's raw form. Null and empty give a null
// cell. Raises "CannotConvertValue", "ValueTooLong" or "NoCustomType".
void ConvertToRaw(const TMdsColumn& column, const Variant& value, TRawCell& out);

// Typed comparison of two cells where either may be null (nulls first).
int CompareCells(int type, bool hasA, const void* a, std::size_t lenA, bool hasB, const void* b,
                 std::size_t lenB) noexcept;

// The Variant of a raw cell (no zero-is-null handling).
Variant RawToVariant(int type, const void* ptr, std::size_t len);

// True when a raw cell counts as zero (all bytes zero, or an empty text).
bool RawIsZero(int type, const void* ptr, std::size_t len) noexcept;

// The display text of a date-time, date or time cell in the locale's
// formats (tvDataFormat.cpp).
std::string FormatDisplayDate(int type, double value);

}  // namespace tarvo::detail
