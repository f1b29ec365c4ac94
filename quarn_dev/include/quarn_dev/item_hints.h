#ifndef QUARN_DEV_ITEM_HINTS_H
#define QUARN_DEV_ITEM_HINTS_H

// What to change in a typed parameter document that failed to load: the items that do not read, each with a
// sound element as example, and the unknown elements that are probably one of them misspelt. Shared by the
// node's start-up message and by the tools that read documents of their own (e.g. vehicle models).
//
//   const std::vector<DocumentItem> items = itemsOf(defaultModelText);   // or built from a table of items
//   try { load(text); }
//   catch (const std::runtime_error& e) { fatal(e.what() + itemHints(e.what(), text, items)); }

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/Node.h>
#include <Poco/Exception.h>

#include <quarn_xml/XmlParamDoc.h>

namespace quarn
{
namespace dev
{

/// An item of a typed parameter document.
struct DocumentItem
{
  std::string name;     ///< element name under the root
  std::string type;     ///< its type attribute, e.g. "vector"
  std::string example;  ///< a sound element, e.g. <mode type="integer" value="1"/>
};

/// The items of a sound document, e.g. a default model document: every element directly under its root, with its
/// type and its own text as example. Empty when text does not load as a parameter document.
inline std::vector<DocumentItem> itemsOf(const std::string& text);

/// Hints appended to error, the load failure of text, each starting with "; ": every item that does not read
/// from text (missing, another type, a value that does not convert) or that error names as breaking a rule
/// ("NAME must ..."), as "NAME must be an element of type TYPE, e.g. EXAMPLE", in the order of items; then every
/// element under the root that is no item but close to the name of a missing one, as the probable misspelling.
/// Empty when text does not load as a parameter document (the parser's message stands alone).
inline std::string itemHints(const std::string& error, const std::string& text, const std::vector<DocumentItem>& items);

// ---------------------------------------------------------------------------------------------------------------

namespace detail
{

// The elements directly under the root of text, in document order, as items: name, type attribute, and the
// element itself (written anew from the two attributes) as example. text must be a parameter document: the
// library's loader refuses what would be unsafe to parse, such as very deep nesting.
inline std::vector<DocumentItem> rootElements(const std::string& text)
{
  std::vector<DocumentItem> elements;
  try
  {
    Poco::XML::DOMParser parser;
    const Poco::AutoPtr<Poco::XML::Document> doc = parser.parseString(text);
    const Poco::XML::Element* root = doc->documentElement();
    for (Poco::XML::Node* child = root ? root->firstChild() : nullptr; child; child = child->nextSibling())
    {
      if (child->nodeType() == Poco::XML::Node::ELEMENT_NODE)
      {
        const auto* element = static_cast<const Poco::XML::Element*>(child);
        const std::string& name = element->nodeName();
        const std::string& type = element->getAttribute("type");
        elements.push_back(
            { name, type, "<" + name + " type=\"" + type + "\" value=\"" + element->getAttribute("value") + "\"/>" });
      }
    }
  }
  catch (const Poco::Exception&)
  {
    elements.clear();
  }
  return elements;
}

// Whether item reads from doc under root with the getter of its type.
inline bool reads(const quarn::xml::XmlParamDoc& doc, const std::string& root, const DocumentItem& item)
{
  using quarn::xml::XmlParamDoc;
  const std::string path = root + "/" + item.name;
  // One read with the getter of each type name, to see that the value converts.
  const std::map<std::string, std::function<void()>> readers = {
    { XmlParamDoc::INTEGER_TYPE, [&] { doc.getInteger(path); } },
    { XmlParamDoc::REAL_TYPE, [&] { doc.getReal(path); } },
    { XmlParamDoc::STRING_TYPE, [&] { doc.getString(path); } },
    { XmlParamDoc::BOOLEAN_TYPE, [&] { doc.getBoolean(path); } },
    { XmlParamDoc::VECTOR_TYPE, [&] { doc.getVector(path); } },
    { XmlParamDoc::MATRIX_TYPE, [&] { doc.getMatrix(path); } },
    { XmlParamDoc::WORD_ARRAY_TYPE, [&] { doc.getWordArray(path); } },
  };
  const auto reader = readers.find(item.type);
  try
  {
    if (reader == readers.end() || doc.getType(path) != item.type)
    {
      return false;
    }
    reader->second();
    return true;
  }
  catch (const std::runtime_error&)
  {
    return false;
  }
}

// Edits (insertion, deletion, substitution) between a and b, letters compared without case.
inline std::size_t editDistance(const std::string& a, const std::string& b)
{
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
  {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i)
  {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j)
    {
      const bool same =
          std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      const std::size_t next = std::min({ row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1) });
      diagonal = row[j];
      row[j] = next;
    }
  }
  return row[b.size()];
}

// Whether name is close enough to itemName to be it misspelt: one edit for short names, up to three for long.
inline bool probablyMeant(const std::string& name, const std::string& itemName)
{
  const std::size_t allowed = std::clamp<std::size_t>(itemName.size() / 4, 1, 3);
  return editDistance(name, itemName) <= allowed;
}

}  // namespace detail

inline std::vector<DocumentItem> itemsOf(const std::string& text)
{
  quarn::xml::XmlParamDoc doc;
  try
  {
    doc.loadXmlString(text);
  }
  catch (const std::runtime_error&)
  {
    return {};
  }
  return detail::rootElements(text);
}

inline std::string itemHints(const std::string& error, const std::string& text, const std::vector<DocumentItem>& items)
{
  quarn::xml::XmlParamDoc doc;
  std::string root;
  try
  {
    doc.loadXmlString(text);
    root = doc.getRootTagName();
  }
  catch (const std::runtime_error&)
  {
    return std::string();
  }
  const std::vector<DocumentItem> elements = detail::rootElements(text);
  const auto present = [&elements](const std::string& name) {
    return std::any_of(elements.begin(), elements.end(), [&name](const DocumentItem& e) { return e.name == name; });
  };
  std::string hints;
  std::vector<std::string> missing;
  for (const DocumentItem& item : items)
  {
    const bool brokenRule = error.rfind(item.name + " must ", 0) == 0;
    if (brokenRule || !detail::reads(doc, root, item))
    {
      hints += "; " + item.name + " must be an element of type " + item.type + ", e.g. " + item.example;
    }
    if (!present(item.name))
    {
      missing.push_back(item.name);
    }
  }
  for (const DocumentItem& element : elements)
  {
    const std::string& name = element.name;
    const bool known =
        std::any_of(items.begin(), items.end(), [&name](const DocumentItem& item) { return item.name == name; });
    const auto meant = std::find_if(missing.begin(), missing.end(),
                                    [&name](const std::string& item) { return detail::probablyMeant(name, item); });
    if (!known && meant != missing.end())
    {
      hints += "; the element " + name + " is no item: probably " + *meant + " misspelt";
    }
  }
  return hints;
}

}  // namespace dev
}  // namespace quarn

#endif  // QUARN_DEV_ITEM_HINTS_H
