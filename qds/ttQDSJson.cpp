#include "qds/ttQDSJsonDetail.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <limits>

#include "platform/core/Format.h"

namespace tarvo {

namespace qds_detail {

void JsonAssertionFailed(const char* condition) {
  throw EQDSJsonError(platform::Format("JSON library check failed: %s", {condition}), 0);
}

namespace {

template <class Writer>
void RenderTo(const rapidjson::Value& v, Writer& writer) {
  if (!v.Accept(writer)) throw EQDSException("JSON value cannot be written as text");
}

}  // namespace

void AppendText(const rapidjson::Value& v, std::string& out) {
  if (v.IsString()) {
    out.append(v.GetString(), v.GetStringLength());
    return;
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  RenderTo(v, writer);
  out.append(buffer.GetString(), buffer.GetSize());
}

}  // namespace qds_detail

using qds_detail::FromRapid;
using qds_detail::RapidOf;

// --- values ----------------------------------------------------------------------

TJsonType TJsonValue::Type() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v) return TJsonType::jtNone;
  switch (v->GetType()) {
    case rapidjson::kNullType:
      return TJsonType::jtNull;
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      return TJsonType::jtBool;
    case rapidjson::kObjectType:
      return TJsonType::jtObject;
    case rapidjson::kArrayType:
      return TJsonType::jtArray;
    case rapidjson::kStringType:
      return TJsonType::jtString;
    case rapidjson::kNumberType:
      return TJsonType::jtNumber;
  }
  return TJsonType::jtNone;
}

TJsonValue TJsonValue::Member(std::string_view name) const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v || !v->IsObject() || name.size() > std::numeric_limits<rapidjson::SizeType>::max())
    return {};
  const rapidjson::Value key(rapidjson::StringRef(name.data() ? name.data() : "",
                                                  static_cast<rapidjson::SizeType>(name.size())));
  const auto it = v->FindMember(key);
  return it == v->MemberEnd() ? TJsonValue() : FromRapid(&it->value);
}

std::size_t TJsonValue::MemberCount() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  return v && v->IsObject() ? v->MemberCount() : 0;
}

std::string_view TJsonValue::MemberName(std::size_t index) const noexcept {
  if (index >= MemberCount()) return {};
  const auto& m = *(RapidOf(*this)->MemberBegin() + static_cast<std::ptrdiff_t>(index));
  return {m.name.GetString(), m.name.GetStringLength()};
}

TJsonValue TJsonValue::MemberValue(std::size_t index) const noexcept {
  if (index >= MemberCount()) return {};
  return FromRapid(&(RapidOf(*this)->MemberBegin() + static_cast<std::ptrdiff_t>(index))->value);
}

std::size_t TJsonValue::Size() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  return v && v->IsArray() ? v->Size() : 0;
}

TJsonValue TJsonValue::At(std::size_t index) const noexcept {
  if (index >= Size()) return {};
  return FromRapid(&(*RapidOf(*this))[static_cast<rapidjson::SizeType>(index)]);
}

std::optional<std::string_view> TJsonValue::String() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v || !v->IsString()) return std::nullopt;
  return std::string_view(v->GetString(), v->GetStringLength());
}

std::optional<bool> TJsonValue::Bool() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v || !v->IsBool()) return std::nullopt;
  return v->GetBool();
}

std::optional<std::int32_t> TJsonValue::Int32() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v || !v->IsInt()) return std::nullopt;
  return v->GetInt();
}

std::optional<std::int64_t> TJsonValue::Int64() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v || !v->IsInt64()) return std::nullopt;
  return v->GetInt64();
}

std::optional<double> TJsonValue::Double() const noexcept {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v || !v->IsNumber()) return std::nullopt;
  return v->GetDouble();
}

std::string TJsonValue::AsText() const {
  std::string out;
  if (const rapidjson::Value* v = RapidOf(*this)) qds_detail::AppendText(*v, out);
  return out;
}

std::string TJsonValue::Render(bool escapeNonAscii) const {
  const rapidjson::Value* v = RapidOf(*this);
  if (!v) return {};
  rapidjson::StringBuffer buffer;
  if (escapeNonAscii) {
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>> writer(
        buffer);
    qds_detail::RenderTo(*v, writer);
  } else {
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    qds_detail::RenderTo(*v, writer);
  }
  return std::string(buffer.GetString(), buffer.GetSize());
}

// --- documents -------------------------------------------------------------------

struct TJsonDocument::Impl {
  // The text the document was parsed in place from: its strings point into it.
  std::string buffer;
  rapidjson::Document doc;
};

namespace {

// Forwards the parser's events to the document while counting the nesting
// (refusing a level beyond the limit ends the parse) and converting numbers.
// Numbers arrive as their text and are converted with std::from_chars, which
// rounds correctly: a price reads back exactly as the service wrote it, and
// the library's own high-precision conversion (which misbehaves on zeros with
// large exponents) is never used.
struct DocumentBuilder {
  rapidjson::Document& d;
  unsigned depth = 0;
  bool tooDeep = false;
  bool badNumber = false;

  bool Null() { return d.Null(); }
  bool Bool(bool b) { return d.Bool(b); }
  bool Int(int i) { return d.Int(i); }
  bool Uint(unsigned u) { return d.Uint(u); }
  bool Int64(std::int64_t i) { return d.Int64(i); }
  bool Uint64(std::uint64_t u) { return d.Uint64(u); }
  bool Double(double v) { return d.Double(v); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    const char* const end = s + n;
    bool integral = true;
    for (const char* p = s; p < end; ++p)
      if (*p == '.' || *p == 'e' || *p == 'E') {
        integral = false;
        break;
      }
    if (integral) {
      if (n && *s == '-') {
        std::int64_t v;
        const auto r = std::from_chars(s, end, v);
        if (r.ec == std::errc() && r.ptr == end) return d.Int64(v);
      } else {
        std::uint64_t v;
        const auto r = std::from_chars(s, end, v);
        if (r.ec == std::errc() && r.ptr == end) return d.Uint64(v);
      }
      // Integers beyond 64 bits become doubles, as the library would make them.
    }
    double v = 0;
    const auto r = std::from_chars(s, end, v);
    if (r.ptr != end) return Refuse();
    if (r.ec == std::errc::result_out_of_range) {
      if (TooLarge(s, end)) return Refuse();
      v = *s == '-' ? -0.0 : 0.0;  // too small for a double: zero, as the library reads it
    } else if (r.ec != std::errc()) {
      return Refuse();
    }
    return d.Double(v);
  }
  bool String(const char* s, rapidjson::SizeType n, bool copy) { return d.String(s, n, copy); }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) { return d.Key(s, n, copy); }
  bool StartObject() { return Enter() && d.StartObject(); }
  bool EndObject(rapidjson::SizeType n) {
    --depth;
    return d.EndObject(n);
  }
  bool StartArray() { return Enter() && d.StartArray(); }
  bool EndArray(rapidjson::SizeType n) {
    --depth;
    return d.EndArray(n);
  }

 private:
  bool Enter() {
    if (++depth > TJsonDocument::MaxDepth) {
      tooDeep = true;
      return false;
    }
    return true;
  }
  bool Refuse() {
    badNumber = true;
    return false;
  }
  // Whether a number from_chars found out of range is large (not small):
  // the decimal exponent of its leading significant digit is positive.
  static bool TooLarge(const char* p, const char* end) {
    if (p < end && *p == '-') ++p;
    long digitsBeforePoint = 0, leadingFractionZeros = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
      if (digitsBeforePoint > 0 || *p != '0') ++digitsBeforePoint;
    if (p < end && *p == '.') {
      bool significant = digitsBeforePoint > 0;
      for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (*p != '0') significant = true;
        if (!significant) ++leadingFractionZeros;
      }
    }
    long exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
      ++p;
      const bool minus = p < end && *p == '-';
      if (p < end && (*p == '-' || *p == '+')) ++p;
      for (; p < end && *p >= '0' && *p <= '9'; ++p)
        if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
      if (minus) exponent = -exponent;
    }
    return (digitsBeforePoint > 0 ? digitsBeforePoint : -leadingFractionZeros) + exponent > 0;
  }
};

// In place: strings stay in the buffer the document keeps. Iterative: no
// recursion, whatever the nesting.
constexpr unsigned kParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

}  // namespace

TJsonDocument::TJsonDocument() : fImpl(std::make_unique<Impl>()) {}
TJsonDocument::~TJsonDocument() = default;

std::unique_ptr<TJsonDocument> TJsonDocument::Parse(std::string_view text) {
  return ParseOwned(std::string(text));
}

std::unique_ptr<TJsonDocument> TJsonDocument::ParseOwned(std::string text) {
  std::size_t start = 0;
  if (text.size() >= 3 && std::string_view(text).substr(0, 3) == "\xEF\xBB\xBF") start = 3;
  // The library keeps lengths in 32 bits.
  if (text.size() - start >= std::numeric_limits<rapidjson::SizeType>::max())
    throw EQDSJsonError("JSON text too large", 0);
  std::unique_ptr<TJsonDocument> result(new TJsonDocument());
  Impl& impl = *result->fImpl;
  if (IsValidUtf8(std::string_view(text).substr(start))) {
    impl.buffer = std::move(text);
  } else {
    impl.buffer = SanitizeUtf8(std::string_view(text).substr(start));
    start = 0;
  }
  const std::size_t length = impl.buffer.size() - start;

  rapidjson::InsituStringStream stream(impl.buffer.data() + start);
  rapidjson::ParseResult parsed;
  DocumentBuilder builder{impl.doc};
  auto generator = [&](rapidjson::Document&) {
    rapidjson::Reader reader;
    parsed = reader.Parse<kParseFlags>(stream, builder);
    return !parsed.IsError();
  };
  impl.doc.Populate(generator);
  if (builder.tooDeep)
    throw EQDSJsonError(platform::Format("JSON document nested deeper than %u levels at byte %u",
                                         {TJsonDocument::MaxDepth, parsed.Offset()}),
                        parsed.Offset());
  if (builder.badNumber)
    throw EQDSJsonError(
        platform::Format("JSON parse error at byte %u: %s",
                         {parsed.Offset(), "Number too big to be stored in double."}),
        parsed.Offset());
  if (parsed.IsError())
    throw EQDSJsonError(
        platform::Format("JSON parse error at byte %u: %s",
                         {parsed.Offset(), rapidjson::GetParseError_En(parsed.Code())}),
        parsed.Offset());
  // The stream ends at the first NUL, so a NUL inside the text would have
  // looked like the end: whatever follows it is not JSON.
  if (stream.Tell() < length)
    throw EQDSJsonError(platform::Format("JSON parse error at byte %u: %s",
                                         {stream.Tell(), "Unexpected NUL character."}),
                        stream.Tell());
  return result;
}

TJsonValue TJsonDocument::Root() const noexcept {
  return FromRapid(&fImpl->doc);
}

void* TJsonDocument::RawDocument() const noexcept {
  return &fImpl->doc;
}

}  // namespace tarvo
