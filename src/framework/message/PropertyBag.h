// Property bags: ordered, named values that may nest, carried by messages of the framework.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace CORE {

class ByteData;
class Properties;

// Reserved item name: the tags a receiver filters messages on before dispatch.
constexpr wchar_t kFilterTagsName[] = L"___MESSAGE_FRAMEWORK_FILTER_TAGS___";
// Reserved items of a response bag.
constexpr wchar_t kErrorTextName[] = L"errorText";
constexpr wchar_t kErrorCodeName[] = L"errorCode";

// Bags deeper than this are refused by flatten and by load: a peer must not be able to exhaust
// our stack with nesting.
constexpr size_t kMaxBagDepth = 64;

// One named item: exactly one of text, binary or nested bag.
struct Property {
  enum class Kind { Text, Binary, Bag };
  std::wstring name;
  Kind kind = Kind::Text;
  std::wstring text;
  std::vector<uint8_t> binary;
  std::shared_ptr<Properties> bag;  // set for Kind::Bag

  bool operator==(const Property& other) const;
};

class Properties {
 public:
  Properties() = default;
  // Copies are deep: a copied bag shares nothing with its source.
  Properties(const Properties& other);
  Properties& operator=(const Properties& other);
  Properties(Properties&&) noexcept = default;
  Properties& operator=(Properties&&) noexcept = default;
  virtual ~Properties() = default;

  void AddText(const std::wstring& name, const std::wstring& value);
  void AddBinary(const std::wstring& name, const std::vector<uint8_t>& value);
  void AddBinary(const std::wstring& name, const void* data, size_t size);
  // Integers travel as decimal text.
  void AddInteger(const std::wstring& name, int64_t value);
  // Adds a copy of bag; returns the nested bag as added.
  Properties& AddBag(const std::wstring& name, const Properties& bag);
  // Adds an empty nested bag and returns it for filling.
  Properties& AddBag(const std::wstring& name);

  // The first item of that name, or null.
  const Property* Find(const std::wstring& name) const;
  bool Contains(const std::wstring& name) const { return Find(name) != nullptr; }
  // False when there is no such item or it is of another kind.
  bool GetText(const std::wstring& name, std::wstring* value) const;
  bool GetBinary(const std::wstring& name, std::vector<uint8_t>* value) const;
  // A text item holding a whole decimal number (optional '-') that fits in 64 bits.
  bool GetInteger(const std::wstring& name, int64_t* value) const;
  const Properties* GetBag(const std::wstring& name) const;
  // Removes every item of that name; returns how many.
  size_t Remove(const std::wstring& name);

  const std::vector<Property>& Items() const { return items_; }
  size_t Size() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  // Wire entries this bag needs: one per item, plus a closing entry per nested bag, over the nesting.
  size_t ElementCount() const;
  void Clear();

  bool operator==(const Properties& other) const;

  // Wire form (see Message.h). flatten appends the entries, binary values and strings of this bag;
  // load reads count entries (a whole bag including its nesting) and replaces the contents.
  bool flatten(long encoding, ByteData& entries, ByteData& binaries, ByteData& strings, size_t depth = 0) const;
  bool load(long encoding, uint32_t count, ByteData& entries, ByteData& binaries, ByteData& strings);

 private:
  std::vector<Property> items_;
};

// The bag a message carries, with the conventions of responses: an error text and an error code.
class PropertyBag : public Properties {
 public:
  using Properties::Properties;
  PropertyBag() = default;
  PropertyBag(const Properties& other) : Properties(other) {}

  void SetErrorText(const std::wstring& text);
  bool HasErrorText() const { return Contains(kErrorTextName); }
  std::wstring GetErrorText() const;
  void SetErrorCode(int64_t code);
  // 0 when the bag carries none.
  int64_t GetErrorCode() const;
};

}  // namespace CORE
