#include "actions/MdsParams.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "platform/core/CodePage.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"

namespace tarvo {

namespace {

constexpr std::array<std::string_view, kRelationCount> kRelationIdents = {
    "prEQ", "prNE", "prGT", "prGE", "prLT", "prLE", "prCS", "prNS", "prEN", "prNN", "prEE", "prBW"};

constexpr std::array<std::string_view, 9> kOptionIdents = {
    "poStorable", "poNoLookup",  "poFirmId",   "poCriteria", "poStoreNull",
    "poPartial",  "poNoCompare", "poSkipNull", "poAuxiliary"};

std::string_view RelationText(TMdsRelation r) {
  return static_cast<int>(r) < kRelationCount ? RelationNames[r] : std::string_view("?");
}

// Freeze/Unlock that also unlocks when the work fails.
struct FreezeScope {
  explicit FreezeScope(TMdsParam& p) : param(p) { param.Freeze(); }
  ~FreezeScope() {
    try {
      param.Unlock();
    } catch (...) {
      // A listener that fails must not turn into a second exception here.
    }
  }
  TMdsParam& param;
};

struct UpdateScope {
  explicit UpdateScope(TMdsParams& p) : params(p) { params.BeginUpdate(); }
  ~UpdateScope() {
    try {
      params.EndUpdate();
    } catch (...) {
    }
  }
  TMdsParams& params;
};

Variant ZeroMilliseconds(const Variant& v) {
  switch (v.Kind()) {
    case TVarKind::DateTime:
      return Variant::DateTime(DateTimeZeroMilliseconds(v.DoubleValue()));
    case TVarKind::Date:
      return Variant::Date(DateTimeZeroMilliseconds(v.DoubleValue()));
    case TVarKind::Time:
      return Variant::Time(DateTimeZeroMilliseconds(v.DoubleValue()));
    default:
      return v;
  }
}

}  // namespace

std::string_view RelationIdent(TMdsRelation relation) noexcept {
  return static_cast<int>(relation) < kRelationCount ? kRelationIdents[relation] : "prEQ";
}

// --- TMdsValue / TMdsValues ------------------------------------------------------------

void TMdsValue::SetValue(const Variant& value) {
  if (VarEqual(value, fValue)) return;
  fValue = value;
  if (fOwner) fOwner->Changed();
}

std::string TMdsValue::GetDisplayName() const {
  std::string text = VarToStr(fValue);
  return text.empty() ? std::string("TMdsValue") : text;
}

TMdsValue& TMdsValues::operator[](int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TMdsValues index out of range");
  return *fItems[static_cast<std::size_t>(index)];
}

const TMdsValue& TMdsValues::operator[](int index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("TMdsValues index out of range");
  return *fItems[static_cast<std::size_t>(index)];
}

TMdsValue& TMdsValues::Add() {
  fItems.push_back(std::unique_ptr<TMdsValue>(new TMdsValue(this)));
  Changed();
  return *fItems.back();
}

TMdsValue& TMdsValues::Add(const Variant& value) {
  BeginUpdate();
  try {
    TMdsValue& v = Add();
    v.fValue = value;
    EndUpdate();
    return v;
  } catch (...) {
    --fUpdateCount;
    throw;
  }
}

void TMdsValues::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TMdsValues index out of range");
  fItems.erase(fItems.begin() + index);
  Changed();
}

void TMdsValues::Clear() {
  if (fItems.empty()) return;
  fItems.clear();
  Changed();
}

void TMdsValues::EndUpdate() {
  if (fUpdateCount <= 0) return;
  if (--fUpdateCount == 0) Changed();
}

void TMdsValues::Changed() {
  if (fUpdateCount > 0) return;
  if (OnUpdate) OnUpdate();
}

// --- TMdsParam -------------------------------------------------------------------------

TMdsParam::TMdsParam(TMdsParams* owner) : fCollection(owner) {
  fItems.OnUpdate = [this] { ItemsChanged(); };
}

TMdsParam::~TMdsParam() {
  fItems.OnUpdate = nullptr;
}

void TMdsParam::Changed() {
  if (fIsLocked > 0) {
    ++fChangeNo;
    return;
  }
  if (fCollection) fCollection->Changed(this);
  if (OnChange) OnChange(*this);
}

void TMdsParam::Unlock() {
  if (fIsLocked <= 0) return;
  --fIsLocked;
  if (fIsLocked == 0 && fChangeNo > 0) {
    fChangeNo = 0;
    Changed();
  }
}

void TMdsParam::SetAddon(const Variant& value) {
  if (VarEqual(value, fAddon)) return;
  fAddon = value;
  Changed();
}

void TMdsParam::SetAlias(std::string alias) {
  if (alias == fAlias) return;
  fAlias = alias == fName ? std::string() : std::move(alias);
}

void TMdsParam::SetEnabled(bool value) {
  if (value == fEnabled) return;
  fEnabled = value;
  Changed();
}

void TMdsParam::SetName(std::string name) {
  if (name == fName) return;
  fName = std::move(name);
  if (fAlias == fName) fAlias.clear();
}

void TMdsParam::SetRelation(TMdsRelation relation) {
  if (relation == fRelation) return;
  fRelation = relation;
  Changed();
}

void TMdsParam::SetValue(const Variant& value) {
  FreezeScope scope(*this);
  fItems.Clear();
  if (value.IsArray()) {
    fItems.BeginUpdate();
    for (const Variant& item : value.ArrayItems()) fItems.Add(item);
    fItems.EndUpdate();
    fAddon = Variant();
    fValue = Variant();
    Changed();
    return;
  }
  // Round first, then compare: a value that rounds to the stored one is no
  // change.
  Variant stored = ZeroMilliseconds(value);
  if (!VarEqual(stored, fValue)) {
    fValue = std::move(stored);
    Changed();
  }
}

void TMdsParam::Clear() {
  FreezeScope scope(*this);
  fAddon = Variant();
  fValue = Variant();
  fItems.Clear();
  Changed();
}

void TMdsParam::Assign(const TMdsParam& source) {
  if (&source == this) return;
  FreezeScope scope(*this);
  fAlias = source.fAlias;
  fName = source.fName;
  fOptions = source.fOptions;
  SetRelation(source.fRelation);
  if (!VarEqual(source.fValue, fValue) || source.fValue.Kind() != fValue.Kind()) {
    fValue = source.fValue;
    Changed();
  }
  SetAddon(source.fAddon);
  fItems.BeginUpdate();
  fItems.Clear();
  for (int i = 0; i < source.fItems.Count(); ++i) {
    TMdsValue& v = fItems.Add(source.fItems[i].GetValue());
    v.SetVisible(source.fItems[i].GetVisible());
  }
  fItems.EndUpdate();
  SetEnabled(source.fEnabled);
  fVisible = source.fVisible;
}

bool TMdsParam::Valid() const noexcept {
  switch (fRelation) {
    case prEN:
    case prNN:
      return true;
    case prBW:
      return fItems.Empty() && !fValue.IsEmpty() && !fAddon.IsEmpty();
    default:
      // A null value counts as a value: "= null" is a valid condition.
      return !fItems.Empty() || !fValue.IsEmpty();
  }
}

bool TMdsParam::Comparable(TMdsParamsCompareMode mode) const noexcept {
  switch (mode) {
    case TMdsParamsCompareMode::cmAll:
      return true;
    case TMdsParamsCompareMode::cmVisible:
      return fVisible;
    case TMdsParamsCompareMode::cmComparable:
      return fVisible && !fOptions.Contains(poNoCompare);
  }
  return true;
}

bool TMdsParam::Equal(const TMdsParam& other) const noexcept {
  if (!platform::SameText(fName, other.fName) || fRelation != other.fRelation ||
      fItems.Count() != other.fItems.Count())
    return false;
  if (fRelation == prEN || fRelation == prNN) return true;
  if (fItems.Empty()) {
    if (!VarEqual(fValue, other.fValue)) return false;
    return fRelation != prBW || VarEqual(fAddon, other.fAddon);
  }
  for (int i = 0; i < fItems.Count(); ++i)
    if (!VarEqual(fItems[i].GetValue(), other.fItems[i].GetValue())) return false;
  return true;
}

bool TMdsParam::Match(const Variant& value) {
  const bool noValue = value.IsEmptyOrNull();
  if (!fItems.Empty()) {
    if (fRelation != prEQ && fRelation != prNE && fRelation != prEE)
      throw EMdsParamError(platform::Format("List matching not implemented for \"%s\"",
                                            {std::string(RelationText(fRelation))}));
    bool found = false;
    if (noValue) {
      found = fRelation == prEE;
    } else {
      const int count = fItems.Count();
      // Records usually come in the order of the list, so the search goes on
      // where the last one ended. The list may have shrunk since: a start
      // past its end starts over.
      int start = fSearchStartIndex;
      if (start < 0 || start >= count) start = 0;
      int last = -1;
      for (int i = start; i < count && !found; ++i) {
        last = i;
        found = VarEqual(fItems[i].GetValue(), value);
      }
      for (int i = 0; i < start && !found; ++i) {
        last = i;
        found = VarEqual(fItems[i].GetValue(), value);
      }
      fSearchStartIndex = (last >= 0 && last + 1 < count) ? last + 1 : 0;
    }
    return fRelation == prNE ? !found : found;
  }
  switch (fRelation) {
    case prEQ:
      return VarEqual(value, fValue);
    case prNE:
      return !VarEqual(value, fValue);
    case prEN:
      return noValue;
    case prNN:
      return !noValue;
    case prEE:
      return noValue || VarEqual(value, fValue);
    default:
      break;
  }
  if (noValue || fValue.IsEmptyOrNull()) return false;
  switch (fRelation) {
    case prGT:
      return VarCompare(value, fValue) > 0;
    case prGE:
      return VarCompare(value, fValue) >= 0;
    case prLT:
      return VarCompare(value, fValue) < 0;
    case prLE:
      return VarCompare(value, fValue) <= 0;
    case prCS:
      return platform::FindText(VarToStr(value), VarToStr(fValue)) != std::string::npos;
    case prNS:
      return platform::FindText(VarToStr(value), VarToStr(fValue)) == std::string::npos;
    case prBW:
      if (fAddon.IsEmptyOrNull()) return false;
      return VarCompare(fValue, value) <= 0 && VarCompare(value, fAddon) <= 0;
    default:
      throw EMdsParamError(platform::Format("Matching not implemented for \"%s\"",
                                            {std::string(RelationText(fRelation))}));
  }
}

// --- TMdsParams ------------------------------------------------------------------------

TMdsParams::~TMdsParams() {
  OnChange = nullptr;
  fItems.clear();
}

TMdsParam* TMdsParams::GetItem(int index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("TMdsParams index out of range");
  return fItems[static_cast<std::size_t>(index)].get();
}

void TMdsParams::Changed(TMdsParam* item) {
  if (fUpdateCount == 0) Update(item);
}

void TMdsParams::Update(TMdsParam* item) {
  if (fIsLocked == 0) {
    ++fIsLocked;
    bool enabled = false;
    for (const auto& p : fItems) enabled = enabled || p->fEnabled;
    if (enabled != fEnabled) {
      fEnabled = enabled;
      try {
        Changed(nullptr);
      } catch (...) {
        --fIsLocked;
        throw;
      }
    }
    --fIsLocked;
  }
  if (OnChange) OnChange(*this, item);
}

void TMdsParams::EndUpdate() {
  if (fUpdateCount <= 0) return;
  if (--fUpdateCount == 0) Changed(nullptr);
}

TMdsParam* TMdsParams::Add() {
  fItems.push_back(std::make_unique<TMdsParam>(this));
  TMdsParam* p = fItems.back().get();
  Changed(nullptr);
  return p;
}

TMdsParam* TMdsParams::Add(std::string_view name, const Variant& value) {
  UpdateScope scope(*this);
  fItems.push_back(std::make_unique<TMdsParam>(this));
  TMdsParam* p = fItems.back().get();
  try {
    p->SetName(std::string(name));
    p->SetValue(value);
  } catch (...) {
    fItems.pop_back();
    throw;
  }
  return p;
}

int TMdsParams::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < fItems.size(); ++i)
    if (platform::SameText(fItems[i]->fName, name)) return static_cast<int>(i);
  return -1;
}

TMdsParam* TMdsParams::Find(std::string_view name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : fItems[static_cast<std::size_t>(i)].get();
}

TMdsParam* TMdsParams::Need(std::string_view name) {
  if (TMdsParam* p = Find(name)) {
    p->SetEnabled(true);
    return p;
  }
  return Add(name, Variant::Null());
}

Variant TMdsParams::Get(std::string_view name) const {
  TMdsParam* p = Find(name);
  return p ? p->fValue : Variant::Null();
}

TMdsParam* TMdsParams::Put(std::string_view name, const Variant& value) {
  TMdsParam* p = Find(name);
  if (!p) return Add(name, value);
  FreezeScope scope(*p);
  p->SetEnabled(true);
  p->SetValue(value);
  return p;
}

void TMdsParams::Delete(std::string_view name) {
  int i = IndexOf(name);
  if (i >= 0) Delete(i);
}

void TMdsParams::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TMdsParams index out of range");
  fItems.erase(fItems.begin() + index);
  Changed(nullptr);
}

bool TMdsParams::Equal(const TMdsParams* other, TMdsParamsCompareMode mode) const {
  if (!other || ComparableCount(mode) != other->ComparableCount(mode)) return false;
  for (const auto& p : fItems) {
    if (!p->Comparable(mode)) continue;
    const TMdsParam* q = other->Find(p->fName);
    if (!q || !q->Comparable(mode) || !p->Equal(*q)) return false;
  }
  return true;
}

int TMdsParams::VisibleCount() const noexcept {
  int n = 0;
  for (const auto& p : fItems) n += p->fVisible ? 1 : 0;
  return n;
}

int TMdsParams::ComparableCount(TMdsParamsCompareMode mode) const noexcept {
  int n = 0;
  for (const auto& p : fItems) n += p->Comparable(mode) ? 1 : 0;
  return n;
}

void TMdsParams::Clear() {
  fEnabled = false;
  if (fItems.empty()) return;
  UpdateScope scope(*this);
  fItems.clear();
}

void TMdsParams::Assign(const TMdsParams& source) {
  if (&source == this) return;
  UpdateScope scope(*this);
  fEnabled = source.fEnabled;
  fItems.clear();
  for (const auto& p : source.fItems) {
    fItems.push_back(std::make_unique<TMdsParam>(this));
    fItems.back()->Assign(*p);
  }
}

// --- literals ----------------------------------------------------------------------------

namespace {

std::string DoubleLiteral(double d) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

std::string TextLiteral(std::string_view s) {
  std::string out;
  bool open = false;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      if (open) {
        out += '\'';
        open = false;
      }
      out += '#';
      out += std::to_string(u);
      continue;
    }
    if (!open) {
      out += '\'';
      open = true;
    }
    if (c == '\'') out += '\'';
    out += c;
  }
  if (open) out += '\'';
  if (out.empty()) out = "''";
  return out;
}

[[noreturn]] void BadText(std::string_view what) {
  throw EMdsParamError("Not a parameter list: " + std::string(what));
}

void SkipBlanks(std::string_view t, std::size_t& pos) {
  while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
}

std::string_view Word(std::string_view t, std::size_t& pos) {
  SkipBlanks(t, pos);
  std::size_t start = pos;
  while (pos < t.size() && (std::isalnum(static_cast<unsigned char>(t[pos])) || t[pos] == '_'))
    ++pos;
  return t.substr(start, pos - start);
}

}  // namespace

std::string VariantToLiteral(const Variant& v) {
  switch (v.Kind()) {
    case TVarKind::Empty:
    case TVarKind::Null:
      return "Null";
    case TVarKind::Boolean:
      return v.BooleanValue() ? "True" : "False";
    case TVarKind::Int:
      return "Int(" + std::to_string(v.IntValue()) + ")";
    case TVarKind::UInt:
      return "UInt(" + std::to_string(v.UIntValue()) + ")";
    case TVarKind::Double:
      return "Double(" + DoubleLiteral(v.DoubleValue()) + ")";
    case TVarKind::Currency:
      return "Currency(" + CurrencyToString(v.IntValue()) + ")";
    case TVarKind::DateTime:
      return "DateTime(" + DoubleLiteral(v.DoubleValue()) + ")";
    case TVarKind::Date:
      return "Date(" + DoubleLiteral(v.DoubleValue()) + ")";
    case TVarKind::Time:
      return "Time(" + DoubleLiteral(v.DoubleValue()) + ")";
    case TVarKind::Fixed:
      return "Fixed(" + v.FixedValue().ToString() + ")";
    case TVarKind::Text:
      return TextLiteral(v.TextValue());
    case TVarKind::Custom:
      return TextLiteral(v.CustomValue()->Text());
    case TVarKind::Array: {
      std::string out = "Array(";
      bool first = true;
      for (const Variant& item : v.ArrayItems()) {
        if (!first) out += ' ';
        first = false;
        out += VariantToLiteral(item);
      }
      return out + ")";
    }
  }
  return "Null";
}

Variant LiteralToVariant(std::string_view t, std::size_t& pos) {
  SkipBlanks(t, pos);
  if (pos >= t.size()) BadText("a value is missing");
  if (t[pos] == '\'' || t[pos] == '#') {
    std::string text;
    while (pos < t.size() && (t[pos] == '\'' || t[pos] == '#')) {
      if (t[pos] == '#') {
        ++pos;
        std::size_t start = pos;
        unsigned code = 0;
        while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9' && code < 256)
          code = code * 10 + static_cast<unsigned>(t[pos++] - '0');
        if (pos == start || code > 255) BadText("a bad character code");
        text += static_cast<char>(code);
        continue;
      }
      ++pos;
      for (;;) {
        if (pos >= t.size()) BadText("an unterminated text");
        if (t[pos] == '\'') {
          if (pos + 1 < t.size() && t[pos + 1] == '\'') {
            text += '\'';
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        text += t[pos++];
      }
    }
    return Variant(std::move(text));
  }
  std::string_view word = Word(t, pos);
  if (word == "Null") return Variant::Null();
  if (word == "True") return Variant(true);
  if (word == "False") return Variant(false);
  if (word.empty()) BadText("a bad value");
  SkipBlanks(t, pos);
  if (pos >= t.size() || t[pos] != '(') BadText("a bad value");
  ++pos;
  if (word == "Array") {
    std::vector<Variant> items;
    for (;;) {
      SkipBlanks(t, pos);
      if (pos < t.size() && t[pos] == ')') {
        ++pos;
        return Variant::Array(std::move(items));
      }
      items.push_back(LiteralToVariant(t, pos));
    }
  }
  std::size_t close = t.find(')', pos);
  if (close == std::string_view::npos) BadText("an unterminated value");
  std::string_view arg = t.substr(pos, close - pos);
  pos = close + 1;
  auto parseDouble = [&](double& d) {
    auto res = std::from_chars(arg.data(), arg.data() + arg.size(), d);
    if (res.ec != std::errc() || res.ptr != arg.data() + arg.size()) BadText("a bad number");
  };
  if (word == "Int") {
    long long v;
    auto res = std::from_chars(arg.data(), arg.data() + arg.size(), v);
    if (res.ec != std::errc() || res.ptr != arg.data() + arg.size()) BadText("a bad number");
    return Variant(v);
  }
  if (word == "UInt") {
    unsigned long long v;
    auto res = std::from_chars(arg.data(), arg.data() + arg.size(), v);
    if (res.ec != std::errc() || res.ptr != arg.data() + arg.size()) BadText("a bad number");
    return Variant(v);
  }
  double d;
  if (word == "Double") {
    parseDouble(d);
    return Variant(d);
  }
  if (word == "DateTime" || word == "Date" || word == "Time") {
    parseDouble(d);
    return word == "DateTime" ? Variant::DateTime(d)
                              : (word == "Date" ? Variant::Date(d) : Variant::Time(d));
  }
  TFixed f;
  if (word == "Currency" || word == "Fixed") {
    if (!TFixed::TryParse(arg, f)) BadText("a bad number");
    if (word == "Fixed") return Variant(f);
    try {
      return Variant::Currency(Variant(f).AsCurrency());
    } catch (const EMdsError&) {
      BadText("a bad number");
    }
  }
  BadText("an unknown kind of value");
}

// --- persistence -------------------------------------------------------------------------

std::string TMdsParams::SaveToText() const {
  std::string out;
  for (const auto& p : fItems) {
    out += "item\n";
    if (!p->fName.empty()) out += "  Name = " + TextLiteral(p->fName) + "\n";
    if (!p->fAlias.empty() && p->fAlias != p->fName)
      out += "  Alias = " + TextLiteral(p->fAlias) + "\n";
    if (p->fRelation != prEQ)
      out += "  Relation = " + std::string(RelationIdent(p->fRelation)) + "\n";
    if (!(p->fOptions == TMdsParamOptions{poStorable})) {
      out += "  Options = [";
      bool first = true;
      for (std::size_t i = 0; i < kOptionIdents.size(); ++i) {
        if (!p->fOptions.Contains(static_cast<TMdsParamOption>(i))) continue;
        if (!first) out += ", ";
        first = false;
        out += kOptionIdents[i];
      }
      out += "]\n";
    }
    if (!p->fEnabled) out += "  Enabled = False\n";
    if (!p->fVisible) out += "  Visible = False\n";
    if (p->fItems.Empty()) {
      if (!p->fValue.IsEmpty()) out += "  Value = " + VariantToLiteral(p->fValue) + "\n";
      if (p->fRelation == prBW && !p->fAddon.IsEmpty())
        out += "  Addon = " + VariantToLiteral(p->fAddon) + "\n";
    } else {
      out += "  Items = (\n";
      for (int i = 0; i < p->fItems.Count(); ++i) {
        out += "    " + VariantToLiteral(p->fItems[i].GetValue());
        if (!p->fItems[i].GetVisible()) out += " Hidden";
        out += "\n";
      }
      out += "  )\n";
    }
    out += "end\n";
  }
  return out;
}

void TMdsParams::LoadFromText(std::string_view text) {
  // Parse everything into a scratch list first: bad text changes nothing.
  TMdsParams scratch;
  std::vector<std::string> lines = platform::SplitLines(text);
  std::size_t i = 0;
  auto next = [&]() -> std::string_view {
    while (i < lines.size() && platform::Trim(lines[i]).empty()) ++i;
    return i < lines.size() ? std::string_view(lines[i]) : std::string_view();
  };
  while (!next().empty()) {
    if (platform::Trim(lines[i]) != "item") BadText("\"item\" expected");
    ++i;
    TMdsParam* p = scratch.Add();
    for (;;) {
      std::string_view line = next();
      if (line.empty()) BadText("\"end\" expected");
      ++i;
      std::string trimmed = platform::Trim(line);
      if (trimmed == "end") break;
      std::size_t pos = 0;
      std::string_view key = Word(trimmed, pos);
      SkipBlanks(trimmed, pos);
      if (pos >= trimmed.size() || trimmed[pos] != '=') BadText("\"=\" expected");
      ++pos;
      if (key == "Name" || key == "Alias") {
        Variant v = LiteralToVariant(trimmed, pos);
        if (v.Kind() != TVarKind::Text) BadText("a name must be a text");
        if (key == "Name") {
          p->SetName(v.TextValue());
        } else {
          p->fAlias = v.TextValue();
        }
      } else if (key == "Relation") {
        std::string_view ident = Word(trimmed, pos);
        int r = 0;
        while (r < kRelationCount && kRelationIdents[static_cast<std::size_t>(r)] != ident) ++r;
        if (r == kRelationCount) BadText("an unknown relation");
        p->fRelation = static_cast<TMdsRelation>(r);
      } else if (key == "Options") {
        SkipBlanks(trimmed, pos);
        if (pos >= trimmed.size() || trimmed[pos] != '[') BadText("\"[\" expected");
        ++pos;
        TMdsParamOptions options;
        for (;;) {
          SkipBlanks(trimmed, pos);
          if (pos < trimmed.size() && trimmed[pos] == ']') {
            ++pos;
            break;
          }
          if (pos < trimmed.size() && trimmed[pos] == ',') {
            ++pos;
            continue;
          }
          std::string_view ident = Word(trimmed, pos);
          std::size_t o = 0;
          while (o < kOptionIdents.size() && kOptionIdents[o] != ident) ++o;
          if (o == kOptionIdents.size()) BadText("an unknown option");
          options.Include(static_cast<TMdsParamOption>(o));
        }
        p->fOptions = options;
      } else if (key == "Enabled" || key == "Visible") {
        Variant v = LiteralToVariant(trimmed, pos);
        if (v.Kind() != TVarKind::Boolean) BadText("True or False expected");
        (key == "Enabled" ? p->fEnabled : p->fVisible) = v.BooleanValue();
      } else if (key == "Value" || key == "Addon") {
        Variant v = LiteralToVariant(trimmed, pos);
        (key == "Value" ? p->fValue : p->fAddon) = std::move(v);
      } else if (key == "Items") {
        SkipBlanks(trimmed, pos);
        if (pos >= trimmed.size() || trimmed[pos] != '(') BadText("\"(\" expected");
        for (;;) {
          std::string_view itemLine = next();
          if (itemLine.empty()) BadText("\")\" expected");
          ++i;
          std::string item = platform::Trim(itemLine);
          if (item == ")") break;
          std::size_t ip = 0;
          Variant v = LiteralToVariant(item, ip);
          SkipBlanks(item, ip);
          bool hidden = false;
          if (ip < item.size()) {
            if (Word(item, ip) != "Hidden") BadText("\"Hidden\" expected");
            hidden = true;
          }
          TMdsValue& value = p->fItems.Add(v);
          value.SetVisible(!hidden);
        }
        continue;
      } else {
        BadText("an unknown property");
      }
      SkipBlanks(trimmed, pos);
      if (pos != trimmed.size()) BadText("unexpected text after a value");
    }
  }
  Assign(scratch);
}

}  // namespace tarvo
