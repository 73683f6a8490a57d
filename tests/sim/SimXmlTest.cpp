// The answer files' XML: names matched by their local part, text gathered as the DOM's InnerText, the
// document refused unless well-formed, and an edited file that setup reads back.
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

// The template's answer file: the adapter named by its MAC text in two components, with the prefixed
// attributes and a comment that real answer files carry.
const std::string kAnswer =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<unattend xmlns=\"urn:schemas-microsoft-com:unattend\" xmlns:wcm=\"http://example.invalid/State\">\n"
    " <settings pass=\"specialize\">\n"
    "  <component name=\"Microsoft-Windows-TCPIP\"><Interfaces><Interface wcm:action=\"add\">\n"
    "   <Identifier>02-54-56-00-00-07</Identifier><Ipv4Settings><DhcpEnabled>true</DhcpEnabled></Ipv4Settings>\n"
    "  </Interface></Interfaces></component>\n"
    "  <!-- the DNS client's servers -->\n"
    "  <component name=\"Microsoft-Windows-DNS-Client\"><Interfaces><Interface wcm:action=\"add\">\n"
    "   <Identifier>02-54-56-00-00-07</Identifier><DNSServerSearchOrder><IpAddress wcm:action=\"add\" "
    "wcm:keyValue=\"1\">10.9.9.9</IpAddress></DNSServerSearchOrder>\n"
    "  </Interface></Interfaces></component>\n"
    " </settings>\n"
    "</unattend>\n";

class SimXmlTest : public test::GuestTest {
 protected:
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

TEST_F(SimXmlTest, ReadsByLocalNamesGathersTextAndWritesBackEscaped) {
  pugi::xml_document doc;
  ASSERT_TRUE(
      xml::Parse("<u:a xmlns:u=\"urn:x\" u:pass=\"specialize\"><b> one <![CDATA[<two>]]><c>three</c></b>"
                 "<!-- note --><b/></u:a>",
                 &doc));
  const pugi::xml_node root = xml::Root(doc);
  EXPECT_EQ(xml::LocalName(root), "a");
  EXPECT_EQ(xml::Attribute(root, "pass"), "specialize");
  EXPECT_EQ(xml::Attribute(root, "absent"), "");
  ASSERT_EQ(xml::Elements(root, "b").size(), 2u);
  EXPECT_EQ(xml::Elements(root).size(), 2u);  // the comment is no element
  const pugi::xml_node b = xml::FirstElement(root, "b");
  EXPECT_EQ(xml::Content(b), " one <two>three");
  EXPECT_FALSE(xml::FirstElement(root, "c")) << "only children are looked at";

  xml::SetContent(b, "two & three");
  EXPECT_EQ(xml::Content(root), "two & three");
  const fs::path saved = HostPath(L"C:\\saved.xml");
  ASSERT_TRUE(xml::Save(doc, saved));
  std::ifstream in(saved, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("<b>two &amp; three</b>"), std::string::npos) << text.str();
  EXPECT_FALSE(xml::Save(doc, HostPath(L"C:\\no such folder\\saved.xml")));
}

TEST_F(SimXmlTest, RefusesWhatIsNotOneWellFormedDocument) {
  pugi::xml_document doc;
  for (const char* bad : {"", "   ", "<a><b></a>", "<a/><b/>", "<a/>text", "text<a/>", "<a x='1' x='2'/>",
                          "<a>&undefined;</a>", "<a>\x01</a>"}) {
    EXPECT_FALSE(xml::Parse(bad, &doc)) << bad;
  }
  EXPECT_TRUE(xml::Parse("<?xml version=\"1.0\"?>\n<!-- c -->\n<a/>\n", &doc));
  // The references a reader without a DTD knows are replaced; characters XML forbids are refused, raw or
  // by reference.
  ASSERT_TRUE(xml::Parse("<a v=\"&lt;&#x41;&#66;&quot;\">&amp;&apos;&#x20AC;</a>", &doc));
  EXPECT_EQ(xml::Attribute(xml::Root(doc), "v"), "<AB\"");
  EXPECT_EQ(xml::Content(xml::Root(doc)), "&'\xE2\x82\xAC");
  for (const char* bad : {"<a>&#1;</a>", "<a>&#xD800;</a>", "<a>&#x110000;</a>", "<a>& b</a>", "<a v='<'/>",
                          "<a>\xC3\x28</a>", "<a>\xC0\xAF</a>", "<a>\xEF\xBF\xBF</a>"}) {
    EXPECT_FALSE(xml::Parse(bad, &doc)) << bad;
  }
  // As deep as common readers go, and no deeper.
  const auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<a>";
    for (int i = 0; i < depth; ++i) text += "</a>";
    return text;
  };
  EXPECT_TRUE(xml::Parse(nested(256), &doc));
  EXPECT_FALSE(xml::Parse(nested(5000), &doc));
}

// PowerShell's script rewrites the identifiers to the adapter's name, and setup reads the file it saved.
TEST_F(SimXmlTest, TheAnswerFileGoesThroughPowerShellAndSetup) {
  WriteAnswerFile(kAnswer);
  std::string output;
  ASSERT_EQ(RunSysprepXmlScript({{L"02-54-56-00-00-07", L"Ethernet0"}}, &output), 0u) << output;
  EXPECT_NE(output.find("[Info] Sysprep XML InterfaceId updated successfully."), std::string::npos) << output;
  const std::string saved = ReadAnswerFile();
  EXPECT_EQ(saved.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << saved;
  EXPECT_NE(saved.find("wcm:keyValue=\"1\""), std::string::npos) << saved;
  UnattendSpecialize pass;
  std::string error;
  ASSERT_TRUE(ParseUnattendSpecialize(saved, &pass, &error)) << error;
  ASSERT_EQ(pass.interfaces.size(), 2u);
  for (const auto& entry : pass.interfaces) EXPECT_EQ(entry.identifier, "Ethernet0");
  EXPECT_EQ(pass.interfaces[1].dnsServers, std::vector<std::string>{"10.9.9.9"});

  WriteAnswerFile("<unattend><settings pass=\"specialize\">");
  output.clear();
  EXPECT_EQ(RunSysprepXmlScript({{L"02-54-56-00-00-07", L"Ethernet0"}}, &output), 3u);
  EXPECT_NE(output.find("Cannot convert value to type \"System.Xml.XmlDocument\"."), std::string::npos) << output;
  EXPECT_FALSE(ParseUnattendSpecialize("<unattend><settings pass=\"specialize\">", &pass, &error));
  EXPECT_EQ(error, "the answer file is not well-formed XML");
}

}  // namespace
}  // namespace tamber::platform::sim
