#ifndef QUARN_XML_XML_PARAM_DOC_H
#define QUARN_XML_XML_PARAM_DOC_H

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Eigen/Core>
#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMBuilder.h>
#include <Poco/DOM/DOMWriter.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NamedNodeMap.h>
#include <Poco/DOM/Node.h>
#include <Poco/DOM/NodeFilter.h>
#include <Poco/DOM/NodeIterator.h>
#include <Poco/Exception.h>
#include <Poco/SAX/SAXParser.h>
#include <Poco/SAX/XMLReader.h>
#include <Poco/XML/NamePool.h>
#include <Poco/XML/XMLException.h>
#include <Poco/XML/XMLWriter.h>
#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

namespace quarn
{
namespace xml
{

using Eigen::MatrixXd;
using Eigen::VectorXd;
using Poco::AutoPtr;
using Poco::XML::Attributes;
using Poco::XML::Document;
using Poco::XML::DOMBuilder;
using Poco::XML::DOMWriter;
using Poco::XML::Element;
using Poco::XML::NamedNodeMap;
using Poco::XML::NamePool;
using Poco::XML::Node;
using Poco::XML::SAXParser;
using Poco::XML::XMLReader;
using Poco::XML::XMLString;
using Poco::XML::XMLWriter;

namespace detail
{

/// Namespace prefix to URI.
using NamespaceDeclarations = std::map<std::string, std::string>;

/// DOM builder that refuses, while parsing, documents nested deeper than a limit.
/// Poco frees and writes a DOM tree recursively, one stack frame per level, so a deep tree must never
/// come to exist: a 300,000-level document parses fine and then crashes the process when released.
class DepthLimitedBuilder : public DOMBuilder
{
public:
  /// Builds from reader; maxDepth counts the root element as level 1.
  DepthLimitedBuilder(XMLReader& reader, NamePool* pNamePool, int maxDepth)
    : DOMBuilder(reader, pNamePool), maxDepth_(maxDepth)
  {}

  /// Namespace prefixes (other than the default one) and the URIs they were bound to, per element that declared
  /// any, by the element's place in document order (0 for the root). The DOM itself keeps no declarations.
  const std::vector<std::pair<std::size_t, NamespaceDeclarations>>& declarations() const { return declared_; }

protected:
  void startElement(const XMLString& uri, const XMLString& localName, const XMLString& qname,
                    const Attributes& attributes) override;
  void endElement(const XMLString& uri, const XMLString& localName, const XMLString& qname) override;
  void startPrefixMapping(const XMLString& prefix, const XMLString& uri) override;

private:
  int maxDepth_;
  int depth_ = 0;
  std::size_t elements_ = 0;
  NamespaceDeclarations pending_;
  std::vector<std::pair<std::size_t, NamespaceDeclarations>> declared_;
};

inline void DepthLimitedBuilder::startElement(const XMLString& uri, const XMLString& localName, const XMLString& qname,
                                              const Attributes& attributes)
{
  if (++depth_ > maxDepth_)
    // The parser turns this into a SAXParseException with the position, and the builder frees what it has.
    throw Poco::XML::XMLException("Document nested deeper than " + std::to_string(maxDepth_) + " levels");
  if (!pending_.empty())
  {
    declared_.emplace_back(elements_, std::move(pending_));
    pending_.clear();
  }
  ++elements_;
  DOMBuilder::startElement(uri, localName, qname, attributes);
}

inline void DepthLimitedBuilder::startPrefixMapping(const XMLString& prefix, const XMLString& uri)
{
  if (!prefix.empty())
    pending_[prefix] = uri;
}

inline void DepthLimitedBuilder::endElement(const XMLString& uri, const XMLString& localName, const XMLString& qname)
{
  --depth_;
  DOMBuilder::endElement(uri, localName, qname);
}

/// DOM parser for text that anyone on the network may have written: no external entity is ever fetched,
/// nesting is limited, and expat's amplification limit stops entity-expansion bombs.
/// Otherwise it parses as Poco's DOMParser does (namespaces with prefixes, whitespace kept).
class SafeDomParser
{
public:
  /// Parser whose documents use pNamePool (null: each document gets its own pool).
  SafeDomParser(NamePool* pNamePool, int maxDepth) : builder_(reader_, pNamePool, maxDepth)
  {
    reader_.setFeature(XMLReader::FEATURE_NAMESPACES, true);
    reader_.setFeature(XMLReader::FEATURE_NAMESPACE_PREFIXES, true);
    reader_.setFeature(XMLReader::FEATURE_EXTERNAL_GENERAL_ENTITIES, false);
    reader_.setFeature(XMLReader::FEATURE_EXTERNAL_PARAMETER_ENTITIES, false);
  }

  /// Parses the file at path; throws Poco::Exception.
  AutoPtr<Document> parseFile(const std::string& path) { return builder_.parse(path); }

  /// Parses text; throws Poco::Exception.
  AutoPtr<Document> parseString(const std::string& text) { return builder_.parseMemoryNP(text.data(), text.size()); }

  /// The namespace declarations of doc, the document this parser returned last, by the elements that made them.
  std::map<const Node*, NamespaceDeclarations> declarationsOf(Document* doc) const;

private:
  SAXParser reader_;
  DepthLimitedBuilder builder_;
};

inline std::map<const Node*, NamespaceDeclarations> SafeDomParser::declarationsOf(Document* doc) const
{
  std::map<const Node*, NamespaceDeclarations> result;
  const auto& declared = builder_.declarations();
  if (declared.empty())
    return result;
  // The iterator visits elements in document order, the order the builder created them in.
  Poco::XML::NodeIterator elements(doc, Poco::XML::NodeFilter::SHOW_ELEMENT);
  auto next = declared.begin();
  std::size_t place = 0;
  for (Node* element = elements.nextNode(); element && next != declared.end(); element = elements.nextNode(), ++place)
  {
    if (next->first == place)
      result[element] = (next++)->second;
  }
  return result;
}

/// Throws the failure to save filePath, with the system's text for the error number.
inline void failToSave(const std::string& filePath, int error)
{
  throw std::runtime_error("Could not save file " + filePath + ": " + std::strerror(error));
}

/// The file that filePath names once symbolic links are followed; a dangling link names its missing target.
inline std::filesystem::path resolveLinks(const std::string& filePath)
{
  std::filesystem::path target = filePath;
  std::error_code error;
  for (int hops = 0; std::filesystem::is_symlink(std::filesystem::symlink_status(target, error)); ++hops)
  {
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error)
      failToSave(filePath, error.value());
    if (hops == 40)
      failToSave(filePath, ELOOP);
    // An absolute link replaces the whole path.
    target = target.parent_path() / link;
  }
  return target;
}

/// Replaces the file at filePath (after symbolic links) by text: a temporary file in the same directory,
/// renamed over the target, so that a failed write never leaves the target truncated. The file keeps the
/// permissions of an existing target; a new one gets 0666 less the umask. Throws std::runtime_error.
inline void replaceFile(const std::string& filePath, const std::string& text)
{
  const std::filesystem::path target = resolveLinks(filePath);
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT)
    failToSave(filePath, errno);
  // rename() would also replace a file that we may not write to.
  if (exists && ::access(target.c_str(), W_OK) != 0)
    failToSave(filePath, errno);

  std::filesystem::path tempPath;
  int fd = -1;
  std::random_device random;
  for (int attempt = 0; fd < 0; ++attempt)
  {
    tempPath = target;
    tempPath.replace_filename("." + target.filename().string() + "." + std::to_string(random()) + ".tmp");
    fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100))
      failToSave(filePath, errno);
  }

  int error = exists && ::fchmod(fd, existing.st_mode & 07777) != 0 ? errno : 0;
  for (std::size_t written = 0; !error && written < text.size();)
  {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno != EINTR)
      error = errno;
    else if (count > 0)
      written += count;
  }
  if (!error && ::fsync(fd) != 0)
    error = errno;
  if (::close(fd) != 0 && !error)
    error = errno;
  if (!error && ::rename(tempPath.c_str(), target.c_str()) != 0)
    error = errno;
  if (error)
  {
    ::unlink(tempPath.c_str());
    failToSave(filePath, error);
  }
}

}  // namespace detail

/// Typed XML parameter document: named values with a type in nested sections, read and written by path.
/// An item is an element with exactly the attributes "type" (one of the seven type names) and "value";
/// a path names the root element and then one child element per "/"-separated segment.
///
///   XmlParamDoc doc;
///   doc.loadXmlString("<config><pid><gains type=\"vector\" value=\"1.0, 0.5, 0\"/></pid></config>");
///   VectorXd gains = doc.getVector("config/pid/gains");    // (1.0, 0.5, 0)
///   doc.getInteger("config/pid/gains");                     // throws "Type mismatch. Path: config/pid/gains"
///   doc.addReal("config/pid", "kp", 0.1);                    // <kp type="real" value="0.10000000000000001"/>
///   doc.saveToFile("pid.xml");
///
/// Every failure is a std::runtime_error; a failed operation leaves the object as it was.
/// Not thread-safe, not even for const lookups (they touch the DOM's plain reference counts).
class XmlParamDoc
{
public:
  /// Type name of an int item: optional sign and decimal digits, 32-bit range.
  static inline const std::string INTEGER_TYPE = "integer";
  /// Type name of a double item.
  static inline const std::string REAL_TYPE = "real";
  /// Type name of a string item, any text.
  static inline const std::string STRING_TYPE = "string";
  /// Type name of a bool item, "true" or "false".
  static inline const std::string BOOLEAN_TYPE = "boolean";
  /// Type name of a VectorXd item: numbers separated by runs of space, comma and tab.
  static inline const std::string VECTOR_TYPE = "vector";
  /// Type name of a MatrixXd item: rows separated by ";", numbers within a row as in a vector.
  static inline const std::string MATRIX_TYPE = "matrix";
  /// Type name of a std::vector<std::string> item: words separated by runs of spaces.
  static inline const std::string WORD_ARRAY_TYPE = "word_array";
  /// Deepest element nesting a load accepts (the root element is level 1).
  static constexpr int MAX_DEPTH = 1000;

  /// Object with no document loaded.
  XmlParamDoc() = default;

  /// Parses the file at xmlFilePath and holds it; on failure the earlier document stays.
  void loadXmlFile(const std::string& xmlFilePath);
  /// Parses xmlString and holds it; on failure the earlier document stays.
  void loadXmlString(const std::string& xmlString);

  /// Name of the root element, whatever comments or processing instructions come before it.
  std::string getRootTagName() const;
  /// Whether xmlPath reaches an element with exactly the attributes "type" and "value"; never throws.
  bool itemExists(const std::string& xmlPath) const;
  /// The item's type name; throws if it is none of the seven.
  std::string getType(const std::string& xmlPath) const;
  /// The element at xmlPath as pretty-printed XML text; an empty path gives the whole document.
  std::string getSection(const std::string& xmlPath) const;
  /// The element at xmlPath and its later same-named siblings, each as XML text, in document order.
  std::list<std::string> getSiblingSections(const std::string& xmlPath) const;

  /// Value of an "integer" item.
  int getInteger(const std::string& xmlPath) const;
  /// Value of a "real" item; nan and inf are refused.
  double getReal(const std::string& xmlPath) const;
  /// Value text of a "string" item, unchanged.
  std::string getString(const std::string& xmlPath) const;
  /// Value of a "boolean" item.
  bool getBoolean(const std::string& xmlPath) const;
  /// Value of a "vector" item, at least one entry.
  VectorXd getVector(const std::string& xmlPath) const;
  /// Value of a "matrix" item; reading stops at the first blank row.
  MatrixXd getMatrix(const std::string& xmlPath) const;
  /// Words of a "word_array" item, possibly none.
  std::vector<std::string> getWordArray(const std::string& xmlPath) const;

  /// Replaces the document by one that holds only an empty root element named rootTagName.
  void createEmptyDocument(const std::string& rootTagName);
  /// Appends a copy of the first node of the document text xmlDocument to the element at xmlPath.
  void addSection(const std::string& xmlPath, const std::string& xmlDocument);
  /// Appends the "integer" item tagName to the element at xmlPath.
  void addInteger(const std::string& xmlPath, const std::string& tagName, int value)
  {
    addElement(xmlPath, tagName, INTEGER_TYPE, boost::lexical_cast<std::string>(value));
  }
  /// Appends the "real" item tagName, written with 17 significant digits so that it reads back to the bit.
  void addReal(const std::string& xmlPath, const std::string& tagName, double value)
  {
    addElement(xmlPath, tagName, REAL_TYPE, realText(value));
  }
  /// Appends the "string" item tagName with value unchanged.
  void addString(const std::string& xmlPath, const std::string& tagName, const std::string& value)
  {
    addElement(xmlPath, tagName, STRING_TYPE, value);
  }
  /// Appends the "boolean" item tagName.
  void addBoolean(const std::string& xmlPath, const std::string& tagName, bool value)
  {
    addElement(xmlPath, tagName, BOOLEAN_TYPE, value ? "true" : "false");
  }
  /// Appends the "vector" item tagName: each entry followed by one space.
  void addVector(const std::string& xmlPath, const std::string& tagName, const VectorXd& value);
  /// Appends the "matrix" item tagName: each entry followed by one space, each row by "; ".
  void addMatrix(const std::string& xmlPath, const std::string& tagName, const MatrixXd& value);
  /// Appends the "word_array" item tagName: each word followed by one space.
  void addWordArray(const std::string& xmlPath, const std::string& tagName, const std::vector<std::string>& value);
  /// Rewrites the value of the existing "vector" item at xmlPath, leaving the rest of the document as it is:
  /// the entries in their shortest text that reads back to the same doubles, one space apart ("2.5 0.3 0.5").
  /// Throws, changing nothing, when there is no such item or value is empty or holds nan or inf.
  void setVector(const std::string& xmlPath, const VectorXd& value);

  /// The whole document as pretty-printed text with "\n" line ends, without XML declaration.
  std::string getXmlString() const;
  /// Replaces the file at filePath, or the file a symbolic link there points to, by getXmlString() + "\n";
  /// atomically, keeping an existing file's permissions. Throws naming the path when it cannot.
  void saveToFile(const std::string& filePath);
  /// xmlDocument re-written in the writer's layout without XML declaration; unchanged if it does not parse.
  static std::string removeXmlHeader(const std::string& xmlDocument);

private:
  static inline const std::string ERR_MSG_NOT_LOADED = "No document loaded";
  static inline const std::string PATH_SEP = "/";
  static inline const std::string ELEM_SEP = " ,\t";
  static inline const std::string ROW_SEP = ";";
  static inline const std::string WORD_SEP = " ";

  using Tokenizer = boost::tokenizer<boost::char_separator<char>>;

  void requireDocument() const
  {
    if (!pDoc_)
      throw std::runtime_error(ERR_MSG_NOT_LOADED);
  }
  void hold(const detail::SafeDomParser& parser, const std::function<AutoPtr<Document>()>& parse);
  std::string namespaceInScope(const Node* element, const std::string& prefix) const;
  Node* findElement(const std::string& xmlPath) const;
  Node* requireElement(const std::string& xmlPath) const;
  std::pair<std::string, std::string> getTypeValuePair(const std::string& xmlPath) const;
  std::string getValueOfType(const std::string& xmlPath, const std::string& type) const;
  Node* findFirstChildElement(const Node* parentNode, const std::string& childNodeName) const;
  static std::string writeToString(const Node* node);
  void addElement(const std::string& xmlPath, const std::string& name, const std::string& type,
                  const std::string& value);
  static void requireReadable(const Node* node, const std::string& prefix);
  static std::string realText(double value) { return boost::lexical_cast<std::string>(value); }
  static bool toReal(const std::string& text, double& number);
  static std::vector<double> parseNumbers(const std::string& text, const std::string& value,
                                          const std::string& xmlPath);
  static std::runtime_error invalidValue(const std::string& value, const std::string& xmlPath)
  {
    return std::runtime_error("Invalid 'value' attribute: " + value + " Path: " + xmlPath);
  }

  AutoPtr<Document> pDoc_;
  // Namespace declarations the loaded text made, by element, for names added later.
  std::map<const Node*, detail::NamespaceDeclarations> declarations_;
};

inline void XmlParamDoc::loadXmlFile(const std::string& xmlFilePath)
{
  // The pool outlives this call: every document parsed with it holds a reference.
  AutoPtr<NamePool> pNamePool(new NamePool(10000));
  detail::SafeDomParser parser(pNamePool, MAX_DEPTH);
  hold(parser, [&] { return parser.parseFile(xmlFilePath); });
}

inline void XmlParamDoc::loadXmlString(const std::string& xmlString)
{
  detail::SafeDomParser parser(nullptr, MAX_DEPTH);
  hold(parser, [&] { return parser.parseString(xmlString); });
}

/// Replaces the held document by what parse returns, or keeps it if parse throws.
inline void XmlParamDoc::hold(const detail::SafeDomParser& parser, const std::function<AutoPtr<Document>()>& parse)
{
  try
  {
    AutoPtr<Document> doc = parse();
    declarations_ = parser.declarationsOf(doc);
    pDoc_ = doc;
  }
  catch (const Poco::Exception& e)
  {
    throw std::runtime_error(e.displayText());
  }
}

inline std::string XmlParamDoc::getRootTagName() const
{
  const Element* root = pDoc_ ? pDoc_->documentElement() : nullptr;
  if (!root)
    throw std::runtime_error(ERR_MSG_NOT_LOADED);
  return root->nodeName();
}

inline bool XmlParamDoc::itemExists(const std::string& xmlPath) const
{
  try
  {
    getTypeValuePair(xmlPath);
    return true;
  }
  catch (const std::runtime_error&)
  {
    return false;
  }
}

inline std::string XmlParamDoc::getType(const std::string& xmlPath) const
{
  const std::string type = getTypeValuePair(xmlPath).first;
  for (const std::string* known :
       { &INTEGER_TYPE, &REAL_TYPE, &STRING_TYPE, &BOOLEAN_TYPE, &VECTOR_TYPE, &MATRIX_TYPE, &WORD_ARRAY_TYPE })
    if (type == *known)
      return type;
  throw std::runtime_error("Unknowns type: " + type + ". Path: " + xmlPath);
}

inline std::string XmlParamDoc::getSection(const std::string& xmlPath) const
{
  requireDocument();
  const Node* element = findElement(xmlPath);
  if (!element)
    return writeToString(pDoc_);
  return writeToString(element);
}

inline std::list<std::string> XmlParamDoc::getSiblingSections(const std::string& xmlPath) const
{
  requireDocument();
  std::list<std::string> sections;
  const Node* found = findElement(xmlPath);
  for (const Node* node = found; node; node = node->nextSibling())
    if (node->nodeType() == Node::ELEMENT_NODE && node->nodeName() == found->nodeName())
      sections.push_back(writeToString(node));
  return sections;
}

inline int XmlParamDoc::getInteger(const std::string& xmlPath) const
{
  const std::string value = getValueOfType(xmlPath, INTEGER_TYPE);
  int result;
  if (!boost::conversion::try_lexical_convert(value, result))
    throw invalidValue(value, xmlPath);
  return result;
}

inline double XmlParamDoc::getReal(const std::string& xmlPath) const
{
  const auto typeValue = getTypeValuePair(xmlPath);
  if (typeValue.first != REAL_TYPE)
    throw std::runtime_error("Type mismatch: " + typeValue.first + "; value: " + typeValue.second +
                             "; path: " + xmlPath);
  double result;
  if (!toReal(typeValue.second, result))
    throw invalidValue(typeValue.second, xmlPath);
  return result;
}

inline std::string XmlParamDoc::getString(const std::string& xmlPath) const
{
  const auto typeValue = getTypeValuePair(xmlPath);
  if (typeValue.first != STRING_TYPE)
    throw invalidValue(typeValue.second, xmlPath);
  return typeValue.second;
}

inline bool XmlParamDoc::getBoolean(const std::string& xmlPath) const
{
  const std::string value = getValueOfType(xmlPath, BOOLEAN_TYPE);
  if (value == "true")
    return true;
  if (value == "false")
    return false;
  throw invalidValue(value, xmlPath);
}

inline VectorXd XmlParamDoc::getVector(const std::string& xmlPath) const
{
  const std::string value = getValueOfType(xmlPath, VECTOR_TYPE);
  const std::vector<double> numbers = parseNumbers(value, value, xmlPath);
  if (numbers.empty())
    throw invalidValue(value, xmlPath);
  return Eigen::Map<const VectorXd>(numbers.data(), numbers.size());
}

inline MatrixXd XmlParamDoc::getMatrix(const std::string& xmlPath) const
{
  const std::string value = getValueOfType(xmlPath, MATRIX_TYPE);
  std::vector<std::vector<double>> rows;
  for (const std::string& row : Tokenizer(value, boost::char_separator<char>(ROW_SEP.c_str())))
  {
    // A blank row ends the matrix: the writer leaves "; " after the last row.
    if (row.find_first_not_of(ELEM_SEP) == std::string::npos)
      break;
    rows.push_back(parseNumbers(row, value, xmlPath));
  }
  if (rows.empty())
    throw std::runtime_error("Invalid 'value' attribute (no rows): " + value + " Path: " + xmlPath);
  const std::size_t nCols = rows.front().size();
  for (const std::vector<double>& row : rows)
    if (row.size() != nCols)
      throw std::runtime_error("Matrix dimensions must agree");

  MatrixXd matrix(rows.size(), nCols);
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (std::size_t j = 0; j < nCols; ++j)
      matrix(i, j) = rows[i][j];
  return matrix;
}

inline std::vector<std::string> XmlParamDoc::getWordArray(const std::string& xmlPath) const
{
  const std::string value = getValueOfType(xmlPath, WORD_ARRAY_TYPE);
  const Tokenizer words(value, boost::char_separator<char>(WORD_SEP.c_str()));
  return std::vector<std::string>(words.begin(), words.end());
}

inline void XmlParamDoc::createEmptyDocument(const std::string& rootTagName)
{
  AutoPtr<Document> doc = new Document;
  doc->appendChild(AutoPtr<Element>(doc->createElement(rootTagName)));
  requireReadable(doc, "Could not create document: ");
  pDoc_ = doc;
  declarations_.clear();
}

inline void XmlParamDoc::addSection(const std::string& xmlPath, const std::string& xmlDocument)
{
  requireDocument();
  Node* parent = requireElement(xmlPath);
  try
  {
    const AutoPtr<Document> section = detail::SafeDomParser(nullptr, MAX_DEPTH).parseString(xmlDocument);
    parent->appendChild(AutoPtr<Node>(pDoc_->importNode(section->firstChild(), true)));
  }
  catch (const Poco::Exception& e)
  {
    throw std::runtime_error("Could not add section: " + e.displayText());
  }
}

inline void XmlParamDoc::addVector(const std::string& xmlPath, const std::string& tagName, const VectorXd& value)
{
  std::string text;
  for (Eigen::Index i = 0; i < value.size(); ++i)
    text += realText(value(i)) + " ";
  addElement(xmlPath, tagName, VECTOR_TYPE, text);
}

inline void XmlParamDoc::addMatrix(const std::string& xmlPath, const std::string& tagName, const MatrixXd& value)
{
  std::string text;
  for (Eigen::Index i = 0; i < value.rows(); ++i)
  {
    for (Eigen::Index j = 0; j < value.cols(); ++j)
      text += realText(value(i, j)) + " ";
    text += "; ";
  }
  addElement(xmlPath, tagName, MATRIX_TYPE, text);
}

inline void XmlParamDoc::addWordArray(const std::string& xmlPath, const std::string& tagName,
                                      const std::vector<std::string>& value)
{
  std::string text;
  for (const std::string& word : value)
    text += word + " ";
  addElement(xmlPath, tagName, WORD_ARRAY_TYPE, text);
}

inline void XmlParamDoc::setVector(const std::string& xmlPath, const VectorXd& value)
{
  getValueOfType(xmlPath, VECTOR_TYPE);
  if (value.size() == 0 || !value.allFinite())
    throw std::runtime_error("A vector item needs one or more finite numbers. Path: " + xmlPath);
  std::string text;
  for (Eigen::Index i = 0; i < value.size(); ++i)
  {
    char number[32];
    const auto end = std::to_chars(number, number + sizeof number, value(i)).ptr;
    text += (i == 0 ? "" : " ") + std::string(number, end);
  }
  static_cast<Element*>(requireElement(xmlPath))->setAttribute("value", text);
}

inline std::string XmlParamDoc::getXmlString() const
{
  requireDocument();
  return writeToString(pDoc_);
}

inline void XmlParamDoc::saveToFile(const std::string& filePath)
{
  detail::replaceFile(filePath, getXmlString() + "\n");
}

inline std::string XmlParamDoc::removeXmlHeader(const std::string& xmlDocument)
{
  try
  {
    return writeToString(detail::SafeDomParser(nullptr, MAX_DEPTH).parseString(xmlDocument));
  }
  catch (const Poco::Exception&)
  {
    return xmlDocument;
  }
  catch (const std::runtime_error&)  // the writer's failure
  {
    return xmlDocument;
  }
}

inline void XmlParamDoc::addElement(const std::string& xmlPath, const std::string& name, const std::string& type,
                                    const std::string& value)
{
  requireDocument();
  Node* parent = requireElement(xmlPath);
  // A prefix bound where the element goes makes a namespaced element, which the writer declares on it; an unbound
  // one makes a plain element that the check below refuses.
  const std::string::size_type colon = name.find(':');
  const std::string uri = colon == std::string::npos ? std::string() : namespaceInScope(parent, name.substr(0, colon));
  AutoPtr<Element> element = uri.empty() ? pDoc_->createElement(name) : pDoc_->createElementNS(uri, name);
  element->setAttribute("type", type);
  element->setAttribute("value", value);
  requireReadable(element, "Could not add item: ");
  parent->appendChild(element);
}

/// Throws prefix + the parser's text unless the text written for node loads back: the DOM accepts any
/// element name and any bytes in a value, so a name such as "a b" or a control character in a string
/// would otherwise make getXmlString and saveToFile write a document that no load accepts.
inline void XmlParamDoc::requireReadable(const Node* node, const std::string& prefix)
{
  try
  {
    detail::SafeDomParser(nullptr, MAX_DEPTH).parseString(writeToString(node));
  }
  catch (const Poco::Exception& e)
  {
    throw std::runtime_error(prefix + e.displayText());
  }
  catch (const std::runtime_error& e)  // the writer's own refusal
  {
    throw std::runtime_error(prefix + e.what());
  }
}

/// URI bound to prefix at element: by an element's own prefixed name or by a declaration the loaded text made,
/// the nearest to element first; empty when the prefix is bound nowhere.
inline std::string XmlParamDoc::namespaceInScope(const Node* element, const std::string& prefix) const
{
  for (const Node* n = element; n && n->nodeType() == Node::ELEMENT_NODE; n = n->parentNode())
  {
    if (n->prefix() == prefix && !n->namespaceURI().empty())
      return n->namespaceURI();
    const auto declared = declarations_.find(n);
    if (declared != declarations_.end())
    {
      const auto binding = declared->second.find(prefix);
      if (binding != declared->second.end())
        return binding->second;
    }
  }
  return std::string();
}

/// The element at xmlPath, or null for a path with no segments (which names the document node).
inline Node* XmlParamDoc::findElement(const std::string& xmlPath) const
{
  Node* element = nullptr;
  const Node* parent = pDoc_;
  for (const std::string& segment : Tokenizer(xmlPath, boost::char_separator<char>(PATH_SEP.c_str())))
  {
    element = findFirstChildElement(parent, segment);
    if (!element)
      throw std::runtime_error("Path element not found: " + segment);
    parent = element;
  }
  return element;
}

inline std::pair<std::string, std::string> XmlParamDoc::getTypeValuePair(const std::string& xmlPath) const
{
  requireDocument();
  const Node* element = requireElement(xmlPath);
  const std::string& name = element->nodeName();
  const AutoPtr<NamedNodeMap> attributes = element->attributes();
  if (attributes->length() != 2)
    throw std::runtime_error("Invalid number of attributes in '" + name + "' element");
  const Node* type = attributes->getNamedItem("type");
  if (!type)
    throw std::runtime_error("'type' attribute not found in '" + name + "' element");
  const Node* value = attributes->getNamedItem("value");
  if (!value)
    throw std::runtime_error("'value' attribute not found in '" + name + "' element");
  return { type->nodeValue(), value->nodeValue() };
}

/// The element at xmlPath; a path with no segments names no element.
inline Node* XmlParamDoc::requireElement(const std::string& xmlPath) const
{
  Node* element = findElement(xmlPath);
  if (!element)
    throw std::runtime_error("Empty path: " + xmlPath);
  return element;
}

/// Value text of the item at xmlPath, which must have the given type.
inline std::string XmlParamDoc::getValueOfType(const std::string& xmlPath, const std::string& type) const
{
  const auto typeValue = getTypeValuePair(xmlPath);
  if (typeValue.first != type)
    throw std::runtime_error("Type mismatch. Path: " + xmlPath);
  return typeValue.second;
}

inline Node* XmlParamDoc::findFirstChildElement(const Node* parentNode, const std::string& childNodeName) const
{
  for (Node* child = parentNode->firstChild(); child; child = child->nextSibling())
    if (child->nodeName() == childNodeName)
      return child->nodeType() == Node::ELEMENT_NODE ? child : nullptr;
  return nullptr;
}

inline std::string XmlParamDoc::writeToString(const Node* node)
{
  DOMWriter writer;
  writer.setNewLine("\n");
  // Pretty printing without an XML declaration.
  writer.setOptions(XMLWriter::PRETTY_PRINT);
  std::ostringstream text;
  try
  {
    writer.writeNode(text, node);
  }
  catch (const Poco::Exception& e)
  {
    throw std::runtime_error(e.displayText());
  }
  return text.str();
}

/// Whether text is one double as stream extraction takes it whole, without skipping whitespace.
inline bool XmlParamDoc::toReal(const std::string& text, double& number)
{
  // lexical_cast also takes "nan", "inf" and "infinity" in any case, which stream extraction refuses;
  // they are the only texts it turns into a non-finite value.
  return boost::conversion::try_lexical_convert(text, number) && std::isfinite(number);
}

/// The numbers of text, split at ELEM_SEP; throws invalidValue(value, xmlPath) at the first non-number.
inline std::vector<double> XmlParamDoc::parseNumbers(const std::string& text, const std::string& value,
                                                     const std::string& xmlPath)
{
  std::vector<double> numbers;
  for (const std::string& token : Tokenizer(text, boost::char_separator<char>(ELEM_SEP.c_str())))
  {
    double number;
    if (!toReal(token, number))
      throw invalidValue(value, xmlPath);
    numbers.push_back(number);
  }
  return numbers;
}

}  // namespace xml
}  // namespace quarn

#endif  // QUARN_XML_XML_PARAM_DOC_H
