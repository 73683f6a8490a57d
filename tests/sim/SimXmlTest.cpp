// The simulated guest's XML library, loaded when first needed: what the answer-file code does with it,
// and what becomes of that code when the library or one of its functions is missing.
#include "platform/sim/setup/SimXml.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/machine/SimPaths.h"
#include "platform/sim/setup/SimUnattend.h"
#include "platform/sim/tools/SimPowerShell.h"
#include "support/TestEnvironment.h"

namespace tamber::platform::sim {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kAnswerFile = L"C:\\Windows\\Panther\\unattend.xml";

// The template's answer file: the adapter named by its MAC text in two components.
const std::string kAnswer =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<unattend xmlns=\"urn:schemas-microsoft-com:unattend\">\n"
    " <settings pass=\"specialize\">\n"
    "  <component name=\"Microsoft-Windows-TCPIP\"><Interfaces><Interface>\n"
    "   <Identifier>02-54-56-00-00-07</Identifier><Ipv4Settings><DhcpEnabled>true</DhcpEnabled></Ipv4Settings>\n"
    "  </Interface></Interfaces></component>\n"
    "  <component name=\"Microsoft-Windows-DNS-Client\"><Interfaces><Interface>\n"
    "   <Identifier>02-54-56-00-00-07</Identifier><DNSServerSearchOrder><IpAddress>10.9.9.9</IpAddress>"
    "</DNSServerSearchOrder>\n"
    "  </Interface></Interfaces></component>\n"
    " </settings>\n"
    "</unattend>\n";

std::string Take(const XmlLibrary& library, xmlChar* text) {
  if (text == nullptr) return "<null>";
  std::string copy = reinterpret_cast<const char*>(text);
  library.Free(text);
  return copy;
}

class SimXmlTest : public test::GuestTest {
 protected:
  void TearDown() override {
    UseXmlLibraryForTest(nullptr);
    test::GuestTest::TearDown();
  }
  static void WriteAnswerFile(const std::string& text) {
    const fs::path host = HostPath(kAnswerFile);
    fs::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary) << text;
  }
  static std::string ReadAnswerFile() {
    std::ifstream in(HostPath(kAnswerFile), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(SimXmlTest, TheLoadedFunctionsReadEditAndSaveADocument) {
  const XmlLibrary library;
  ASSERT_TRUE(library.Loaded()) << library.Error();
  EXPECT_EQ(library.Error(), "");
  const XmlDocPtr doc = library.ReadMemory("<a pass=\"specialize\"><b> one </b></a>", "test.xml", XML_PARSE_NONET);
  ASSERT_TRUE(doc);
  xmlNode* root = library.DocGetRootElement(doc.get());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Take(library, library.GetProp(root, reinterpret_cast<const xmlChar*>("pass"))), "specialize");
  EXPECT_EQ(library.GetProp(root, reinterpret_cast<const xmlChar*>("absent")), nullptr);
  xmlNode* b = root->children;
  ASSERT_NE(b, nullptr);
  library.NodeSetContent(b, nullptr);
  library.NodeAddContent(b, reinterpret_cast<const xmlChar*>("two & three"));
  EXPECT_EQ(Take(library, library.NodeGetContent(root)), "two & three");

  const fs::path saved = HostPath(L"C:\\saved.xml");
  ASSERT_GE(library.SaveFile(saved.string().c_str(), doc.get()), 0);
  std::ifstream in(saved, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("<b>two &amp; three</b>"), std::string::npos) << text.str();

  EXPECT_FALSE(library.ReadMemory("<a><b></a>", "test.xml", XML_PARSE_NONET | XML_PARSE_NOERROR));
}

// PowerShell's script rewrites the identifiers to the adapter's name, and setup reads the file it saved.
TEST_F(SimXmlTest, TheAnswerFileGoesThroughPowerShellAndSetupWithTheProcessLibrary) {
  ASSERT_TRUE(Xml().Loaded()) << Xml().Error();
  WriteAnswerFile(kAnswer);
  std::string output;
  ASSERT_EQ(RunSysprepXmlScript({{L"02-54-56-00-00-07", L"Ethernet0"}}, &output), 0u) << output;
  EXPECT_NE(output.find("[Info] Sysprep XML InterfaceId updated successfully."), std::string::npos) << output;
  UnattendSpecialize pass;
  std::string error;
  ASSERT_TRUE(ParseUnattendSpecialize(ReadAnswerFile(), &pass, &error)) << error;
  ASSERT_EQ(pass.interfaces.size(), 2u);
  for (const auto& entry : pass.interfaces) EXPECT_EQ(entry.identifier, "Ethernet0");
  EXPECT_EQ(pass.interfaces[1].dnsServers, std::vector<std::string>{"10.9.9.9"});
}

TEST_F(SimXmlTest, AMissingLibraryIsNamedOnceAndFailsTheAnswerFileLikeAFileThatDoesNotParse) {
  testing::internal::CaptureStderr();
  const XmlLibrary missing("libvelocyn-absent-xml.so.2");
  const std::string printed = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(missing.Loaded());
  EXPECT_NE(missing.Error().find("cannot load the XML library libvelocyn-absent-xml.so.2: "), std::string::npos)
      << missing.Error();
  EXPECT_NE(missing.Error().find("libvelocyn-absent-xml.so.2: cannot open shared object file"), std::string::npos)
      << missing.Error();  // the loader's own reason
  EXPECT_EQ(printed, missing.Error() + "\n");
  // Every function is a safe no-op.
  EXPECT_FALSE(missing.ReadMemory(kAnswer, "unattend.xml", 0));
  EXPECT_EQ(missing.DocGetRootElement(nullptr), nullptr);
  EXPECT_EQ(missing.SaveFile("/dev/null", nullptr), -1);
  missing.Free(nullptr);

  UseXmlLibraryForTest(&missing);
  UnattendSpecialize pass;
  std::string error;
  EXPECT_FALSE(ParseUnattendSpecialize(kAnswer, &pass, &error));
  EXPECT_NE(error.find("XML library"), std::string::npos) << error;
  EXPECT_NE(error.find("libvelocyn-absent-xml.so.2"), std::string::npos) << error;

  WriteAnswerFile(kAnswer);
  std::string output;
  EXPECT_EQ(RunSysprepXmlScript({{L"02-54-56-00-00-07", L"Ethernet0"}}, &output), 3u);
  EXPECT_NE(
      output.find("[Error] Failed updating sysprep xml (Cannot convert value to type \"System.Xml.XmlDocument\".)"),
      std::string::npos)
      << output;
  EXPECT_EQ(ReadAnswerFile(), kAnswer);  // left as it was
}

TEST_F(SimXmlTest, ALibraryWithoutOneOfTheFunctionsIsNotUsedAtAll) {
  testing::internal::CaptureStderr();
  const XmlLibrary wrong("libc.so.6");  // loads, but has none of the functions
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(wrong.Loaded());
  EXPECT_NE(wrong.Error().find("the XML library libc.so.6 has no symbol xmlInitParser: "), std::string::npos)
      << wrong.Error();
  EXPECT_EQ(printed, wrong.Error() + "\n");  // the first missing function only, once
  EXPECT_FALSE(wrong.ReadMemory("<a/>", "test.xml", 0));
  EXPECT_EQ(wrong.NodeGetContent(nullptr), nullptr);
}

}  // namespace
}  // namespace tamber::platform::sim
