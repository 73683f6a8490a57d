// The XML library of the simulated guest (libxml2), loaded when first needed. Only the simulated setup and
// PowerShell read answer files, and only in some boots; linking the library would map it and what it pulls
// in (ICU, lzma, zlib) into every agent process at start. The headers still give the types and node
// fields; the functions come from the loaded library.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>

namespace tamber::platform::sim {

class XmlLibrary;

// Frees a document with the library that read it.
struct XmlDocFree {
  const XmlLibrary* library = nullptr;
  void operator()(xmlDoc* doc) const;
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

class XmlLibrary {
 public:
  static constexpr const char* kDefaultFile = "libxml2.so.2";

  // Loads the library and resolves its functions. When the file or a function is missing the library is
  // not loaded: one line on stderr names what is missing, Error() keeps it, and every call below does
  // nothing and returns its failure value (a null document or text, -1).
  explicit XmlLibrary(const std::string& file = kDefaultFile);
  ~XmlLibrary();
  XmlLibrary(const XmlLibrary&) = delete;
  XmlLibrary& operator=(const XmlLibrary&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  const std::string& Error() const { return error_; }

  // The document, or null when the text is not well-formed (or the library is not loaded).
  XmlDocPtr ReadMemory(const std::string& text, const char* url, int options) const;
  xmlNode* DocGetRootElement(const xmlDoc* doc) const;
  void FreeDoc(xmlDoc* doc) const;
  xmlChar* GetProp(const xmlNode* node, const xmlChar* name) const;
  xmlChar* NodeGetContent(const xmlNode* node) const;
  void NodeSetContent(xmlNode* node, const xmlChar* content) const;
  void NodeAddContent(xmlNode* node, const xmlChar* content) const;
  int SaveFile(const char* filename, xmlDoc* doc) const;
  // Frees what GetProp and NodeGetContent returned, with the library's own deallocator.
  void Free(void* memory) const;

 private:
  void Fail(const std::string& what, const char* reason);

  void* handle_ = nullptr;
  std::string error_;
  decltype(&xmlInitParser) initParser_ = nullptr;
  decltype(&xmlReadMemory) readMemory_ = nullptr;
  decltype(&xmlDocGetRootElement) docGetRootElement_ = nullptr;
  decltype(&xmlFreeDoc) freeDoc_ = nullptr;
  decltype(&xmlGetProp) getProp_ = nullptr;
  decltype(&xmlNodeGetContent) nodeGetContent_ = nullptr;
  decltype(&xmlNodeSetContent) nodeSetContent_ = nullptr;
  decltype(&xmlNodeAddContent) nodeAddContent_ = nullptr;
  decltype(&xmlSaveFile) saveFile_ = nullptr;
  // xmlFree is a variable holding the deallocator, not a function: this is its address, read at each call.
  xmlFreeFunc* free_ = nullptr;
};

// The process's library, loaded once on the first call from any thread and kept until the process ends.
const XmlLibrary& Xml();

// Makes Xml() return this library instead (nullptr: the process's own again), so that a test can see the
// simulated guest without its XML library. The library must outlive its use.
void UseXmlLibraryForTest(const XmlLibrary* library);

}  // namespace tamber::platform::sim
