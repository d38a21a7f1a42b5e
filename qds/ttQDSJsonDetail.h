// RapidJSON as the client's own sources see it. Not part of the library's
// interface: include it only from qds/*.cpp, and before any other RapidJSON
// header, so that every use of the library in ttQDS is compiled with the same
// assertion macro.
//
// RapidJSON asserts its preconditions (an object for FindMember, an index in
// range ...). The facade checks them all before it calls the library; should
// one be missed, the assertion throws EQDSJsonError instead of aborting the
// terminal. The library is compiled with hidden inline symbols (see
// qds/CMakeLists.txt), so this definition never meets another program's
// instantiation of the same templates.
#pragma once

#if defined(RAPIDJSON_ASSERT) && !defined(TARVO_QDS_RAPIDJSON_ASSERT)
#error "qds/ttQDSJsonDetail.h must be included before any RapidJSON header"
#endif

#include <cstddef>

#include "qds/ttQDSJson.h"

namespace tarvo::qds_detail {
[[noreturn]] void JsonAssertionFailed(const char* condition);
}  // namespace tarvo::qds_detail

#define TARVO_QDS_RAPIDJSON_ASSERT 1
#define RAPIDJSON_ASSERT(x) \
  ((x) ? static_cast<void>(0) : ::tarvo::qds_detail::JsonAssertionFailed(#x))
#define RAPIDJSON_HAS_STDSTRING 1

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace tarvo::qds_detail {

inline const rapidjson::Value* RapidOf(TJsonValue v) noexcept {
  return static_cast<const rapidjson::Value*>(v.Raw());
}
inline TJsonValue FromRapid(const rapidjson::Value* v) noexcept {
  return TJsonValue::FromRaw(v);
}

// The text of a value as TJsonValue::AsText gives it, appended to out.
void AppendText(const rapidjson::Value& v, std::string& out);

}  // namespace tarvo::qds_detail
