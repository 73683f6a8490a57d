#include "platform/sim/setup/SimXml.h"

#include <cstdint>
#include <cstring>

#include "platform/sim/machine/SimPaths.h"

namespace tamber::platform::sim::xml {
namespace {

const char* LocalPart(const char* name) {
  const char* colon = std::strrchr(name, ':');
  return colon == nullptr ? name : colon + 1;
}

void AppendContent(const pugi::xml_node& node, std::string* text) {
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text->append(child.value());
    } else if (child.type() == pugi::node_element) {
      AppendContent(child, text);
    }
  }
}

// Whether text is UTF-8 of characters XML allows (no control characters but tab and line ends, no
// surrogates, no U+FFFE and U+FFFF).
bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

bool IsXmlText(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t c = *p;
    int more = 0;
    if (c >= 0xF0 && c <= 0xF4) {
      c &= 0x07, more = 3;
    } else if (c >= 0xE0) {
      c &= 0x0F, more = 2;
    } else if (c >= 0xC2 && c < 0xE0) {
      c &= 0x1F, more = 1;
    } else if (c >= 0x80) {
      return false;
    }
    ++p;
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      c = (c << 6) | (*p & 0x3F);
    }
    const bool overlong = (more == 2 && c < 0x800) || (more == 3 && c < 0x10000);
    if (overlong || !IsXmlChar(c)) return false;
  }
  return true;
}

// A character reference's number ("#38", "#x26"), or 0 when it is none or names no XML character.
uint32_t CharReference(const std::string& name) {
  const bool hex = name.size() > 2 && name[1] == 'x';
  const size_t first = hex ? 2 : 1;
  if (name.size() <= first || name.size() > first + 8) return 0;
  uint32_t value = 0;
  for (size_t i = first; i < name.size(); ++i) {
    const char c = name[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      digit = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
    } else {
      return 0;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x10FFFF) return 0;
  }
  return IsXmlChar(value) ? value : 0;
}

// Replaces the references in raw text (the five predefined entities and character references), as a
// reader without a DTD does; false for any other reference, a bare '&', or '<' in an attribute value.
bool Unescape(const char* raw, bool attribute, std::string* out) {
  out->clear();
  for (const char* p = raw; *p != 0; ++p) {
    if (*p == '<' && attribute) return false;
    if (*p != '&') {
      out->push_back(*p);
      continue;
    }
    const char* end = std::strchr(p, ';');
    if (end == nullptr || end - p > 12) return false;
    const std::string name(p + 1, end);
    static const struct {
      const char* name;
      char text;
    } kPredefined[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    bool known = false;
    for (const auto& entity : kPredefined) {
      if (name == entity.name) out->push_back(entity.text), known = true;
    }
    if (!known && !name.empty() && name[0] == '#') {
      const uint32_t c = CharReference(name);
      if (c == 0) return false;
      *out += NarrowUtf8(std::wstring(1, static_cast<wchar_t>(c)));  // the simulator's wchar_t holds any
      known = true;
    }
    if (!known) return false;
    p = end;
  }
  return true;
}

// Deeper documents are refused, as common readers refuse them (and the walks here stay shallow).
constexpr int kMaxDepth = 256;

// Checks a node and everything below it as a strict reader would, replacing the references it may.
bool CheckNode(pugi::xml_node node, int depth = 0) {
  if (depth > kMaxDepth) return false;
  std::string text;
  if (node.type() == pugi::node_pcdata) {
    if (!Unescape(node.value(), false, &text) || !IsXmlText(text.c_str())) return false;
    node.set_value(text.c_str());
  }
  if (node.type() == pugi::node_cdata && !IsXmlText(node.value())) return false;
  if (node.type() == pugi::node_element) {
    if (!IsXmlText(node.name())) return false;
    for (pugi::xml_attribute attribute : node.attributes()) {
      for (pugi::xml_attribute other = attribute.next_attribute(); other; other = other.next_attribute()) {
        if (std::strcmp(attribute.name(), other.name()) == 0) return false;  // the same attribute twice
      }
      if (!IsXmlText(attribute.name()) || !Unescape(attribute.value(), true, &text) || !IsXmlText(text.c_str())) {
        return false;
      }
      attribute.set_value(text.c_str());
    }
  }
  for (pugi::xml_node child : node.children()) {
    if (!CheckNode(child, depth + 1)) return false;
  }
  return true;
}

}  // namespace

bool Parse(const std::string& text, pugi::xml_document* doc) {
  // Kept raw: the references are checked and replaced below, where an unknown one fails the document.
  // As a fragment, so that text beside the root element shows and fails it too.
  const unsigned options =
      (pugi::parse_default & ~pugi::parse_escapes) | pugi::parse_declaration | pugi::parse_fragment;
  if (!doc->load_buffer(text.data(), text.size(), options)) return false;
  int elements = 0;
  for (const pugi::xml_node& child : doc->children()) {
    if (child.type() == pugi::node_element) ++elements;
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) return false;
  }
  return elements == 1 && CheckNode(*doc);
}

pugi::xml_node Root(const pugi::xml_document& doc) { return doc.document_element(); }

std::string LocalName(const pugi::xml_node& node) { return LocalPart(node.name()); }

std::string Attribute(const pugi::xml_node& node, const char* localName) {
  for (const pugi::xml_attribute& attribute : node.attributes()) {
    if (std::strcmp(LocalPart(attribute.name()), localName) == 0) return attribute.value();
  }
  return {};
}

std::string Content(const pugi::xml_node& node) {
  std::string text;
  AppendContent(node, &text);
  return text;
}

std::vector<pugi::xml_node> Elements(const pugi::xml_node& parent, const char* localName) {
  std::vector<pugi::xml_node> found;
  for (const pugi::xml_node& child : parent.children()) {
    if (child.type() != pugi::node_element) continue;
    if (localName == nullptr || std::strcmp(LocalPart(child.name()), localName) == 0) found.push_back(child);
  }
  return found;
}

pugi::xml_node FirstElement(const pugi::xml_node& parent, const char* localName) {
  for (const pugi::xml_node& child : parent.children()) {
    if (child.type() == pugi::node_element && std::strcmp(LocalPart(child.name()), localName) == 0) return child;
  }
  return {};
}

void SetContent(pugi::xml_node node, const std::string& text) {
  while (node.first_child()) node.remove_child(node.first_child());
  node.append_child(pugi::node_pcdata).set_value(text.c_str());
}

bool Save(const pugi::xml_document& doc, const std::filesystem::path& path) {
  return doc.save_file(path.c_str(), "  ", pugi::format_default, pugi::encoding_utf8);
}

}  // namespace tamber::platform::sim::xml
