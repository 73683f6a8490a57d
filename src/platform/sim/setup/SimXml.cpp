#include "platform/sim/setup/SimXml.h"

#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <type_traits>

namespace tamber::platform::sim {
namespace {

std::atomic<const XmlLibrary*> g_testLibrary{nullptr};

}  // namespace

void XmlDocFree::operator()(xmlDoc* doc) const {
  if (library != nullptr) library->FreeDoc(doc);
}

XmlLibrary::XmlLibrary(const std::string& file) {
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    Fail("cannot load the XML library " + file, dlerror());
    return;
  }
  // dlsym hands out untyped addresses; each is given the type of the header's declaration.
  const auto resolve = [this, &file](const char* name, auto* target) {
    if (handle_ == nullptr) return;
    dlerror();
    void* address = dlsym(handle_, name);
    if (address == nullptr) {
      Fail("the XML library " + file + " has no symbol " + name, dlerror());
      return;
    }
    *target = reinterpret_cast<std::remove_reference_t<decltype(*target)>>(address);
  };
  resolve("xmlInitParser", &initParser_);
  resolve("xmlReadMemory", &readMemory_);
  resolve("xmlDocGetRootElement", &docGetRootElement_);
  resolve("xmlFreeDoc", &freeDoc_);
  resolve("xmlGetProp", &getProp_);
  resolve("xmlNodeGetContent", &nodeGetContent_);
  resolve("xmlNodeSetContent", &nodeSetContent_);
  resolve("xmlNodeAddContent", &nodeAddContent_);
  resolve("xmlSaveFile", &saveFile_);
  resolve("xmlFree", &free_);
  if (handle_ == nullptr) return;
  // The parser sets up its global tables on first use, which is not safe from two threads at once; here
  // it happens once, under the caller's one-time construction.
  initParser_();
}

XmlLibrary::~XmlLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

void XmlLibrary::Fail(const std::string& what, const char* reason) {
  error_ = what + ": " + (reason != nullptr ? reason : "unknown error");
  std::fprintf(stderr, "%s\n", error_.c_str());
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
  initParser_ = nullptr;
  readMemory_ = nullptr;
  docGetRootElement_ = nullptr;
  freeDoc_ = nullptr;
  getProp_ = nullptr;
  nodeGetContent_ = nullptr;
  nodeSetContent_ = nullptr;
  nodeAddContent_ = nullptr;
  saveFile_ = nullptr;
  free_ = nullptr;
}

XmlDocPtr XmlLibrary::ReadMemory(const std::string& text, const char* url, int options) const {
  if (!Loaded() || text.size() > static_cast<size_t>(INT_MAX)) return XmlDocPtr(nullptr, XmlDocFree{this});
  return XmlDocPtr(readMemory_(text.data(), static_cast<int>(text.size()), url, nullptr, options), XmlDocFree{this});
}

xmlNode* XmlLibrary::DocGetRootElement(const xmlDoc* doc) const {
  return Loaded() && doc != nullptr ? docGetRootElement_(doc) : nullptr;
}

void XmlLibrary::FreeDoc(xmlDoc* doc) const {
  if (Loaded() && doc != nullptr) freeDoc_(doc);
}

xmlChar* XmlLibrary::GetProp(const xmlNode* node, const xmlChar* name) const {
  return Loaded() ? getProp_(node, name) : nullptr;
}

xmlChar* XmlLibrary::NodeGetContent(const xmlNode* node) const { return Loaded() ? nodeGetContent_(node) : nullptr; }

void XmlLibrary::NodeSetContent(xmlNode* node, const xmlChar* content) const {
  if (Loaded()) nodeSetContent_(node, content);
}

void XmlLibrary::NodeAddContent(xmlNode* node, const xmlChar* content) const {
  if (Loaded()) nodeAddContent_(node, content);
}

int XmlLibrary::SaveFile(const char* filename, xmlDoc* doc) const { return Loaded() ? saveFile_(filename, doc) : -1; }

void XmlLibrary::Free(void* memory) const {
  if (Loaded() && memory != nullptr) (*free_)(memory);
}

const XmlLibrary& Xml() {
  if (const XmlLibrary* library = g_testLibrary.load()) return *library;
  // Never destroyed: a document freed by a late static destructor still finds its library mapped.
  static const XmlLibrary* const library = new XmlLibrary();
  return *library;
}

void UseXmlLibraryForTest(const XmlLibrary* library) { g_testLibrary.store(library); }

}  // namespace tamber::platform::sim
