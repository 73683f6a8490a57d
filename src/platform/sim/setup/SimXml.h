// The XML of the simulated guest's answer files (pugixml): what the simulated setup and PowerShell need
// of a DOM. Names are compared by their local part, as the answer files' readers on Windows match them
// ("wcm:action" is "action"); an element's text is all the text below it, as InnerText gives it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace tamber::platform::sim::xml {

// Reads text into doc without any fetch (pugixml reads no DTD and expands only the predefined
// entities). False when it is not well-formed or has no root element.
bool Parse(const std::string& text, pugi::xml_document* doc);
// The document's root element (empty when none).
pugi::xml_node Root(const pugi::xml_document& doc);

std::string LocalName(const pugi::xml_node& node);
// The value of the attribute with this local name, "" when it has none.
std::string Attribute(const pugi::xml_node& node, const char* localName);
// All the text (character data) below node, in document order.
std::string Content(const pugi::xml_node& node);
// The element children of parent with this local name, in document order (nullptr: every one).
std::vector<pugi::xml_node> Elements(const pugi::xml_node& parent, const char* localName = nullptr);
pugi::xml_node FirstElement(const pugi::xml_node& parent, const char* localName);
// Replaces what node holds with one text.
void SetContent(pugi::xml_node node, const std::string& text);
// Writes the document back, with its declaration; false when the file cannot be written.
bool Save(const pugi::xml_document& doc, const std::filesystem::path& path);

}  // namespace tamber::platform::sim::xml
