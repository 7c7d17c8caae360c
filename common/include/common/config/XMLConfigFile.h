#pragma once
// The XML layer of the configuration files: CXMLElement wraps one element of the document,
// CXMLConfigFile loads and saves the document through CConfigFile, CXMLExchangeData is the base
// of every record that reads its values from an element and writes them back, and
// CConfigFileVersion is the "version" record every file carries.
//
// Values live in element texts (no attributes). Looking up a missing child creates it, also while
// reading, so a file gains the elements it lacks at its next Save; elements the program does
// not know stay in the tree and are written back.
#include "common/config/ConfigFile.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace pugi {
struct xml_node_struct;
class xml_document;
} // namespace pugi

class CXMLElement {
  public:
    // Wraps `node`, which stays owned by its document. Destroying the wrapper never removes
    // the element.
    explicit CXMLElement(pugi::xml_node_struct* node);
    virtual ~CXMLElement();
    CXMLElement(const CXMLElement&) = delete;
    CXMLElement& operator=(const CXMLElement&) = delete;

    // The first child element named `name`; when there is none, a new one is appended.
    std::unique_ptr<CXMLElement> GetChild(platform::TextView name);
    // A new child element appended after the existing children.
    std::unique_ptr<CXMLElement> AddChild(platform::TextView name);
    // Appends a wrapper for every child element named `name`, in document order; returns the
    // number of entries in `out` afterwards (0 when the element has no children at all).
    int GetChildren(platform::TextView name, std::vector<std::unique_ptr<CXMLElement>>& out);
    // Removes every child element named `name`. 1 on success.
    int ClearAll(platform::TextView name);
    // The element's text (empty when it has none).
    platform::Text GetValue();
    // Replaces the element's whole content with `text`.
    void SetValue(platform::TextView text);
    // The element serialised as XML, without declaration and without added whitespace.
    platform::Text GetXML();

    platform::Text GetName() const;
    pugi::xml_node_struct* GetNode() const { return m_pNode; }

  private:
    pugi::xml_node_struct* m_pNode;
};

class CXMLConfigFile : public CConfigFile {
  public:
    CXMLConfigFile();
    ~CXMLConfigFile() override;

    // Reads the file and fills the object (SetParam). 1 or 0; GetLastResult tells why.
    virtual int Load();
    // Writes the object into the tree (GetParam) and the tree to the file. 1 or 0.
    virtual int Save();
    // Fill the object from the XML under the root / write it there; 1 on success.
    virtual int SetParam();
    virtual int GetParam();
    // The root element's name for a file written from scratch.
    virtual platform::Text GetRootTagName();

    // Parses `text` (a text that is not well-formed XML gives an empty document) and holds its
    // document element as the root, or a new root named by GetRootTagName. 1 when a root is
    // held afterwards.
    int CreateXMLDocument(platform::TextView text);
    // The root held (null before the first Load, Save or CreateXMLDocument).
    CXMLElement* GetRoot() const { return m_pRoot.get(); }

  protected:
    // CreateXMLDocument over the UTF-8 form of the text.
    int CreateXMLDocumentUtf8(std::string_view utf8);
    // The same over the first `size` bytes of `buffer`, which the document parses in place and
    // keeps.
    int CreateXMLDocumentInPlace(Buffer buffer, std::size_t size);

    // Declared before the document, which may point into it, so that it goes after it.
    Buffer m_pDocumentBuffer;
    std::unique_ptr<pugi::xml_document> m_pDocument;
    std::unique_ptr<CXMLElement> m_pRoot;

  private:
    int NewDocument(std::string_view text, Buffer inPlace);
};

class CXMLExchangeData {
  public:
    virtual ~CXMLExchangeData() = default;
    // Write the values under `element` / read them from it; 1 on success.
    virtual int ToXML(CXMLElement& element) = 0;
    virtual int FromXML(CXMLElement& element) = 0;
};

class CConfigFileVersion : public CXMLExchangeData {
  public:
    void SetFileVersion(std::uint32_t version);
    std::uint32_t GetFileVersion() const { return m_nFileVersion; }
    int ToXML(CXMLElement& root) override;
    int FromXML(CXMLElement& root) override;

  private:
    std::uint32_t m_nFileVersion = 0;
};

// Message id of "LIB_CONF:{%s} %s version error(%d)" in the program's string table.
inline constexpr int CONFIG_MSG_VERSION_ERROR = 4570;
