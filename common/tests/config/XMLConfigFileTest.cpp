// The XML layer: element operations, documents, load and save through the container.
#include "TestSupport.h"

#include "common/config/XMLConfigFile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cfgtest::ConfigTest;
using platform::Text;

// A configuration file with one text value, "item/value", under a root named "test".
class CTestConfig : public CXMLConfigFile {
  public:
    CTestConfig() {
        SetUseBase64(0);
        SetUseBlowFish(0);
        SetFileName(u"test.dat");
    }
    Text value;
    int failSetParam = 0;
    int SetParam() override {
        if (failSetParam)
            return 0;
        auto item = GetRoot()->GetChild(u"item");
        if (!item)
            return 0;
        auto element = item->GetChild(u"value");
        if (!element)
            return 0;
        const Text text = element->GetValue();
        if (!text.empty())
            value = text;
        return 1;
    }
    int GetParam() override {
        auto item = GetRoot()->GetChild(u"item");
        auto element = item ? item->GetChild(u"value") : nullptr;
        if (!element)
            return 0;
        element->SetValue(value);
        return 1;
    }
    Text GetRootTagName() override { return u"test"; }
};

class XMLTest : public ConfigTest {
  protected:
    // A document from `xml`; the root held by `file`.
    CXMLElement& Parse(CTestConfig& file, const std::u16string& xml) {
        EXPECT_EQ(file.CreateXMLDocument(xml), 1);
        return *file.GetRoot();
    }
    std::string Stored() { return cfgtest::ReadFileBytes(tree_->config_path("test.dat")); }
    void Store(const std::string& xml) {
        cfgtest::WriteFileBytes(tree_->config_path("test.dat"),
                                std::string(cfgtest::kDeclaration) + xml + std::string(1, '\0'));
    }
};

TEST_F(XMLTest, GetChildCreatesAMissingChildOnce) {
    CTestConfig file;
    CXMLElement& root = Parse(file, u"<test><a/></test>");
    auto first = root.GetChild(u"MTU");
    ASSERT_TRUE(first);
    auto second = root.GetChild(u"MTU");
    ASSERT_TRUE(second);
    EXPECT_EQ(first->GetNode(), second->GetNode());
    EXPECT_EQ(root.GetXML(), u"<test><a/><MTU/></test>");
    // Names are compared case-sensitively; the first of several is used.
    Parse(file, u"<test><x>1</x><X>2</X><x>3</x></test>");
    EXPECT_EQ(file.GetRoot()->GetChild(u"x")->GetValue(), u"1");
    EXPECT_EQ(file.GetRoot()->GetChild(u"X")->GetValue(), u"2");
}

TEST_F(XMLTest, ClearAllRemovesOnlyThatName) {
    CTestConfig file;
    CXMLElement& root = Parse(
        file, u"<test><version>1</version><connection/><connection>x</connection><other/></test>");
    EXPECT_EQ(root.ClearAll(u"connection"), 1);
    EXPECT_EQ(root.GetXML(), u"<test><version>1</version><other/></test>");
    EXPECT_EQ(root.ClearAll(u"absent"), 1);
}

TEST_F(XMLTest, GetChildrenListsMatchesInOrder) {
    CTestConfig file;
    std::vector<std::unique_ptr<CXMLElement>> list;
    EXPECT_EQ(Parse(file, u"<test/>").GetChildren(u"connection", list), 0);
    CXMLElement& root = Parse(file, u"<test><c>A</c><d>x</d><c>B</c><!-- note --><c>C</c></test>");
    EXPECT_EQ(root.GetChildren(u"c", list), 3);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->GetValue(), u"A");
    EXPECT_EQ(list[2]->GetValue(), u"C");
    // Appends to what the list held.
    EXPECT_EQ(root.GetChildren(u"d", list), 4);
}

TEST_F(XMLTest, ValuesRoundTripExactly) {
    const std::u16string values[] = {
        u"plain",       u"  spaced  ", u" ",   u"a&b<c>d\"e'f",     u"\u65e5\u672c\u8a9e \u00e9",
        u"line\nbreak", u"tab\there",  u"]]>", u"\x01\x1f control",
    };
    for (const auto& value : values) {
        CTestConfig writer;
        writer.value = value;
        ASSERT_EQ(writer.Save(), 1);
        CTestConfig reader;
        ASSERT_EQ(reader.Load(), 1);
        EXPECT_EQ(reader.value, value) << platform::to_utf8(value);
    }
}

TEST_F(XMLTest, SetValueReplacesTheWholeContent) {
    CTestConfig file;
    CXMLElement& root = Parse(file, u"<test><v>a<b>c</b>d</v></test>");
    auto v = root.GetChild(u"v");
    EXPECT_EQ(v->GetValue(), u"acd"); // all text below the element
    v->SetValue(u"new");
    EXPECT_EQ(root.GetXML(), u"<test><v>new</v></test>");
    v->SetValue(u"");
    EXPECT_EQ(v->GetValue(), u"");
}

TEST_F(XMLTest, SaveWithoutLoadWritesAFreshRoot) {
    CTestConfig file;
    file.value = u"v1";
    ASSERT_EQ(file.Save(), 1);
    EXPECT_EQ(Stored(), std::string(cfgtest::kDeclaration) +
                            "<test><item><value>v1</value></item></test>" + std::string(1, '\0'));
}

TEST_F(XMLTest, LoadKeepsWhatTheObjectDoesNotKnow) {
    // A differently named root, comments, unknown elements and white space between elements.
    Store("<other>\r\n  <!-- kept --><unknown a=\"1\">x<y/></unknown>\n  <item>\n    "
          "<value>v</value><extra>e</extra>\n  </item>\n</other>");
    CTestConfig file;
    ASSERT_EQ(file.Load(), 1);
    EXPECT_EQ(file.value, u"v");
    file.value = u"w";
    ASSERT_EQ(file.Save(), 1);
    EXPECT_EQ(Stored(), std::string(cfgtest::kDeclaration) +
                            "<other><!-- kept --><unknown a=\"1\">x<y/></unknown><item><value>w</"
                            "value><extra>e</extra></item></other>" +
                            std::string(1, '\0'));
}

TEST_F(XMLTest, TextThatIsNotXmlLoadsAsAnEmptyDocument) {
    const char* texts[] = {
        "not xml at all",
        "<test><item><value>v</value></item>",
        "<a/><b/>",
        "<a/>text",
        "",
        "<test><item><value>v</value></item></test><",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        Store(text);
        CTestConfig file;
        file.value = u"kept";
        ASSERT_EQ(file.Load(), 1);
        EXPECT_EQ(file.GetLastResult(), 0);
        EXPECT_EQ(file.value, u"kept");
        EXPECT_EQ(file.GetRoot()->GetXML(), u"<test><item><value/></item></test>");
    }
}

TEST_F(XMLTest, LoadFailures) {
    CTestConfig file;
    file.value = u"kept";
    EXPECT_EQ(file.Load(), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x80070002u);
    Store("<test/>");
    file.failSetParam = 1;
    EXPECT_EQ(file.Load(), 0);
    EXPECT_EQ(static_cast<unsigned>(file.GetLastResult()), 0x87020000u);
    EXPECT_EQ(file.value, u"kept");
}

TEST_F(XMLTest, VersionRecordTrimsAndWrites) {
    CTestConfig file;
    CXMLElement& root = Parse(file, u"<test><version> 1 </version></test>");
    CConfigFileVersion version;
    EXPECT_EQ(version.FromXML(root), 1);
    EXPECT_EQ(version.GetFileVersion(), 1u);
    CConfigFileVersion empty;
    Parse(file, u"<test><version></version></test>");
    empty.SetFileVersion(7);
    EXPECT_EQ(empty.FromXML(*file.GetRoot()), 1);
    EXPECT_EQ(empty.GetFileVersion(), 7u); // an empty text keeps the value
    empty.SetFileVersion(4294967295u);
    EXPECT_EQ(empty.ToXML(*file.GetRoot()), 1);
    EXPECT_EQ(file.GetRoot()->GetXML(), u"<test><version>4294967295</version></test>");
}

TEST_F(XMLTest, LogLinesNeverShowSecrets) {
    cfgtest::LogCapture capture;
    Store("<test><item><password>hunter2</password><proxypassword><![CDATA[cdata-secret]]>"
          "</proxypassword><Password>x<i>nested-secret</i></Password><value>v</value></item>"
          "</test>");
    CTestConfig file;
    ASSERT_EQ(file.Load(), 1);
    auto item = file.GetRoot()->GetChild(u"item");
    item->GetChild(u"password")->SetValue(u"n3w-s3cret");
    ASSERT_EQ(file.Save(), 1);
    const std::string log = capture.Contents();
    for (const char* secret : {"hunter2", "cdata-secret", "nested-secret", "n3w-s3cret"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
    EXPECT_NE(log.find("<password>***</password>"), std::string::npos) << log;
    EXPECT_NE(log.find("LIB_CONF:{CXMLElement::SetValue} New Value=***"), std::string::npos);
    EXPECT_NE(log.find("LIB_CONF:{CXMLConfigFile::Load} XML = <?xml"), std::string::npos);
    // Everything else stays readable.
    EXPECT_NE(log.find("<value>v</value>"), std::string::npos);
}

} // namespace
