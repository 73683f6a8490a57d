#include "framework/message/PropertyBag.h"

#include <algorithm>

#include "framework/log/Log.h"
#include "framework/message/ByteData.h"

namespace CORE {

using tamber::Log;
using tamber::LogLevel;

namespace {

constexpr uint32_t kBagDescriptor = 0xFFFFFFFF;
constexpr uint32_t kBinaryFlag = 0x80000000;
constexpr uint32_t kMaxValueUnits = 0x7FFFFFFF;

}  // namespace

bool Property::operator==(const Property& other) const {
  if (name != other.name || kind != other.kind) return false;
  switch (kind) {
    case Kind::Text:
      return text == other.text;
    case Kind::Binary:
      return binary == other.binary;
    case Kind::Bag:
      return bag && other.bag ? *bag == *other.bag : bag == other.bag;
  }
  return false;
}

Properties::Properties(const Properties& other) { *this = other; }

Properties& Properties::operator=(const Properties& other) {
  if (this == &other) return *this;
  std::vector<Property> copy;
  copy.reserve(other.items_.size());
  for (const Property& item : other.items_) {
    Property p = item;
    if (p.bag) p.bag = std::make_shared<Properties>(*item.bag);
    copy.push_back(std::move(p));
  }
  items_ = std::move(copy);
  return *this;
}

void Properties::AddText(const std::wstring& name, const std::wstring& value) {
  Property p;
  p.name = name;
  p.kind = Property::Kind::Text;
  p.text = value;
  items_.push_back(std::move(p));
}

void Properties::AddBinary(const std::wstring& name, const std::vector<uint8_t>& value) {
  Property p;
  p.name = name;
  p.kind = Property::Kind::Binary;
  p.binary = value;
  items_.push_back(std::move(p));
}

void Properties::AddBinary(const std::wstring& name, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  AddBinary(name, size == 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + size));
}

void Properties::AddInteger(const std::wstring& name, int64_t value) { AddText(name, std::to_wstring(value)); }

Properties& Properties::AddBag(const std::wstring& name, const Properties& bag) {
  Property p;
  p.name = name;
  p.kind = Property::Kind::Bag;
  p.bag = std::make_shared<Properties>(bag);
  items_.push_back(std::move(p));
  return *items_.back().bag;
}

Properties& Properties::AddBag(const std::wstring& name) { return AddBag(name, Properties()); }

const Property* Properties::Find(const std::wstring& name) const {
  for (const Property& item : items_) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

bool Properties::GetText(const std::wstring& name, std::wstring* value) const {
  const Property* p = Find(name);
  if (p == nullptr || p->kind != Property::Kind::Text) return false;
  *value = p->text;
  return true;
}

bool Properties::GetBinary(const std::wstring& name, std::vector<uint8_t>* value) const {
  const Property* p = Find(name);
  if (p == nullptr || p->kind != Property::Kind::Binary) return false;
  *value = p->binary;
  return true;
}

bool Properties::GetInteger(const std::wstring& name, int64_t* value) const {
  std::wstring text;
  if (!GetText(name, &text) || text.empty() || text.size() > 20) return false;
  size_t i = 0;
  bool negative = text[0] == L'-';
  if (negative) ++i;
  if (i == text.size()) return false;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    uint64_t digit = static_cast<uint64_t>(text[i] - L'0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

const Properties* Properties::GetBag(const std::wstring& name) const {
  const Property* p = Find(name);
  return p != nullptr && p->kind == Property::Kind::Bag ? p->bag.get() : nullptr;
}

size_t Properties::Remove(const std::wstring& name) {
  size_t before = items_.size();
  std::erase_if(items_, [&](const Property& p) { return p.name == name; });
  return before - items_.size();
}

size_t Properties::ElementCount() const {
  size_t count = 0;
  for (const Property& item : items_) {
    count += 1;
    if (item.kind == Property::Kind::Bag && item.bag) count += item.bag->ElementCount() + 1;
  }
  return count;
}

void Properties::Clear() { items_.clear(); }

bool Properties::operator==(const Properties& other) const { return items_ == other.items_; }

bool Properties::flatten(long encoding, ByteData& entries, ByteData& binaries, ByteData& strings, size_t depth) const {
  size_t units = 0;
  for (const Property& item : items_) {
    const bool isBag = item.kind == Property::Kind::Bag;
    // A nested bag needs a name: a name length of 0 with the bag descriptor closes a bag.
    if (!CharEncConverter::ConvertFromUtf16(item.name, encoding, strings, &units, 0xFFFF) || (isBag && units == 0) ||
        (isBag && depth >= kMaxBagDepth)) {
      Log(LogLevel::Error, L"CORE::Properties::flatten(): Failed to re-encode/serialize item name=%s, encoding=%s",
          item.name, EncodingName(encoding));
      return false;
    }
    const uint16_t nameUnits = static_cast<uint16_t>(units);
    if (isBag) {
      if (!entries.AppendU16(nameUnits) || !entries.AppendU32(kBagDescriptor)) {
        Log(LogLevel::Error, L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry, item name=%s",
            item.name);
        return false;
      }
      if (item.bag && !item.bag->flatten(encoding, entries, binaries, strings, depth + 1)) return false;
      if (!entries.AppendU16(0) || !entries.AppendU32(kBagDescriptor)) {
        Log(LogLevel::Error,
            L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry after submap processing, item name=%s",
            item.name);
        return false;
      }
      continue;
    }
    if (item.kind == Property::Kind::Binary && !item.binary.empty()) {
      if (item.binary.size() > kMaxValueUnits || !binaries.Append(item.binary.data(), item.binary.size())) {
        Log(LogLevel::Error, L"CORE::Properties::flatten(): Failed to serialize binary data, item name=%s, size=%d",
            item.name, static_cast<int>(std::min<size_t>(item.binary.size(), 0x7FFFFFFF)));
        return false;
      }
      if (!entries.AppendU16(nameUnits) ||
          !entries.AppendU32(kBinaryFlag | static_cast<uint32_t>(item.binary.size()))) {
        Log(LogLevel::Error, L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry, item name=%s",
            item.name);
        return false;
      }
      continue;
    }
    // Text, and an empty binary value, which travels as empty text.
    const std::wstring empty;
    const std::wstring& value = item.kind == Property::Kind::Text ? item.text : empty;
    if (!CharEncConverter::ConvertFromUtf16(value, encoding, strings, &units, kMaxValueUnits)) {
      Log(LogLevel::Error,
          L"CORE::Properties::flatten(): Failed to re-encode/serialize item value, item name=%s, encoding=%s",
          item.name, EncodingName(encoding));
      return false;
    }
    if (!entries.AppendU16(nameUnits) || !entries.AppendU32(static_cast<uint32_t>(units))) {
      Log(LogLevel::Error, L"CORE::Properties::flatten(): No memory found to serialize propSizeEntry, item name=%s",
          item.name);
      return false;
    }
  }
  return true;
}

bool Properties::load(long encoding, uint32_t count, ByteData& entries, ByteData& binaries, ByteData& strings) {
  Clear();
  // Open bags, innermost last. Nested bags live behind shared pointers, so these stay valid while
  // their parents' item lists grow.
  std::vector<Properties*> open{this};
  auto fail = [&]() {
    Clear();
    return false;
  };
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t nameUnits = 0;
    uint32_t descriptor = 0;
    if (!entries.ReadU16(&nameUnits) || !entries.ReadU32(&descriptor)) return fail();
    if (descriptor == kBagDescriptor && nameUnits == 0) {
      if (open.size() <= 1) {
        Log(LogLevel::Error, L"CORE::Properties::load(): Message invalid, subbag expected but not found");
        return fail();
      }
      open.pop_back();
      continue;
    }
    Property item;
    if (descriptor == kBagDescriptor) {
      if (!CharEncConverter::ConvertToUtf16(strings, nameUnits, encoding, &item.name)) {
        Log(LogLevel::Error,
            L"CORE::Properties::load(): Message invalid, failed to get Property value name, encoding=%s",
            EncodingName(encoding));
        return fail();
      }
      if (open.size() > kMaxBagDepth) {
        Log(LogLevel::Error, L"CORE::Properties::load(): Message invalid, subbags nested deeper than %d, name=%s",
            static_cast<int>(kMaxBagDepth), item.name);
        return fail();
      }
      item.kind = Property::Kind::Bag;
      item.bag = std::make_shared<Properties>();
      Properties* nested = item.bag.get();
      open.back()->items_.push_back(std::move(item));
      open.push_back(nested);
      continue;
    }
    if (!CharEncConverter::ConvertToUtf16(strings, nameUnits, encoding, &item.name)) {
      Log(LogLevel::Error, L"CORE::Properties::load(): Message invalid, failed to get Property name, encoding=%s",
          EncodingName(encoding));
      return fail();
    }
    if ((descriptor & kBinaryFlag) != 0) {
      const uint32_t size = descriptor & ~kBinaryFlag;
      const uint8_t* data = nullptr;
      if (size > binaries.Left() || !binaries.Read(size, &data)) {
        Log(LogLevel::Error,
            L"CORE::Properties::load(): Message invalid, buffer not found to copy binary data, required=%d, name=%s",
            static_cast<int>(size), item.name);
        return fail();
      }
      item.kind = Property::Kind::Binary;
      if (size > 0) item.binary.assign(data, data + size);
    } else if (!CharEncConverter::ConvertToUtf16(strings, descriptor, encoding, &item.text)) {
      Log(LogLevel::Error,
          L"CORE::Properties::load(): Message invalid, failed to get Property value data(string), name=%s, encoding=%s",
          item.name, EncodingName(encoding));
      return fail();
    }
    open.back()->items_.push_back(std::move(item));
  }
  if (open.size() != 1) {
    Log(LogLevel::Error, L"CORE::Properties::load(): Message invalid, unmatched subbag left without an end");
    return fail();
  }
  return true;
}

void PropertyBag::SetErrorText(const std::wstring& text) {
  Remove(kErrorTextName);
  AddText(kErrorTextName, text);
}

std::wstring PropertyBag::GetErrorText() const {
  std::wstring text;
  GetText(kErrorTextName, &text);
  return text;
}

void PropertyBag::SetErrorCode(int64_t code) {
  Remove(kErrorCodeName);
  AddInteger(kErrorCodeName, code);
}

int64_t PropertyBag::GetErrorCode() const {
  int64_t code = 0;
  return GetInteger(kErrorCodeName, &code) ? code : 0;
}

}  // namespace CORE
