// Any bytes go to XmlParamDoc::loadXmlString; every lookup, getter and adder then runs on the element
// paths of the loaded document. Only std::runtime_error may leave the class, numbers read are finite,
// a failed load keeps the document held before, the text written loads again, and numbers written read
// back unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Node.h>
#include <Poco/SAX/XMLReader.h>

#include <quarn_xml/XmlParamDoc.h>

using Eigen::MatrixXd;
using Eigen::VectorXd;
using Poco::AutoPtr;
using Poco::XML::Document;
using Poco::XML::DOMParser;
using Poco::XML::Node;
using Poco::XML::XMLReader;
using quarn::xml::XmlParamDoc;

namespace
{
// Bounds the work per input, so that a large document is not mistaken for a hang.
const std::size_t MAX_PATHS = 24;
const char* const BEFORE = "<before><kept type=\"integer\" value=\"7\"/></before>";

void check(bool condition)
{
  if (!condition)
    __builtin_trap();
}

// Element paths of the document in document order, root first.
void collectPaths(const Node* parent, const std::string& prefix, std::vector<std::string>& paths)
{
  for (const Node* child = parent->firstChild(); child && paths.size() < MAX_PATHS; child = child->nextSibling())
  {
    if (child->nodeType() != Node::ELEMENT_NODE)
      continue;
    paths.push_back(prefix + child->nodeName() + "/");
    collectPaths(child, paths.back(), paths);
  }
}

std::vector<std::string> elementPaths(const std::string& text)
{
  std::vector<std::string> paths;
  DOMParser parser;
  // The document loaded, so it parses again; nothing outside the text may be read on the way.
  parser.setFeature(XMLReader::FEATURE_EXTERNAL_GENERAL_ENTITIES, false);
  parser.setFeature(XMLReader::FEATURE_EXTERNAL_PARAMETER_ENTITIES, false);
  AutoPtr<Document> doc = parser.parseString(text);
  collectPaths(doc, "", paths);
  return paths;
}

// Runs one call; only std::runtime_error is an expected failure.
template <typename F>
bool attempt(F call)
{
  try
  {
    call();
    return true;
  }
  catch (const std::runtime_error&)
  {
    return false;
  }
}

bool allFinite(const MatrixXd& m)
{
  return m.array().isFinite().all();
}

void readEverything(const XmlParamDoc& doc, const std::string& path)
{
  attempt([&] { doc.itemExists(path); });
  attempt([&] { doc.getType(path); });
  attempt([&] { doc.getInteger(path); });
  attempt([&] { doc.getString(path); });
  attempt([&] { doc.getBoolean(path); });
  attempt([&] { doc.getWordArray(path); });
  attempt([&] { doc.getSiblingSections(path); });
  attempt([&] { check(std::isfinite(doc.getReal(path))); });
  attempt([&] { check(allFinite(doc.getVector(path))); });
  attempt([&] { check(allFinite(doc.getMatrix(path))); });
  std::string section;
  if (attempt([&] { section = doc.getSection(path); }))
    check(doc.getSection("//" + path + "/") == section);
}

// Adds one item of every type under the path.
void addEverything(XmlParamDoc& doc, const std::string& path)
{
  attempt([&] { doc.addInteger(path, "i", -42); });
  attempt([&] { doc.addReal(path, "r", 0.1); });
  attempt([&] { doc.addString(path, "s", path); });
  attempt([&] { doc.addBoolean(path, "b", true); });
  attempt([&] { doc.addVector(path, "v", VectorXd::Ones(2)); });
  attempt([&] { doc.addMatrix(path, "m", MatrixXd::Identity(2, 2)); });
  attempt([&] { doc.addWordArray(path, "w", { "left", "right" }); });
  attempt([&] { doc.addSection(path, "<s2><n type=\"integer\" value=\"1\"/></s2>"); });
  attempt([&] { doc.addSection(path, doc.getSection(path)); });
}

// Any finite number written by the adders reads back as the same double.
void checkRoundTrip(double number)
{
  XmlParamDoc doc;
  doc.createEmptyDocument("r");
  VectorXd vector(3);
  vector << number, -number, 0.5;
  MatrixXd matrix(2, 2);
  matrix << number, 1, 2, -number;
  doc.addReal("r", "x", number);
  doc.addVector("r", "v", vector);
  doc.addMatrix("r", "m", matrix);
  check(doc.getReal("r/x") == number && doc.getVector("r/v") == vector && doc.getMatrix("r/m") == matrix);
}

double numberFrom(const uint8_t* data, std::size_t size)
{
  double number = 0.25;
  if (size >= sizeof number)
    std::memcpy(&number, data, sizeof number);
  return std::isfinite(number) ? number : 0.25;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  XmlParamDoc::removeXmlHeader(text);

  XmlParamDoc doc;
  doc.loadXmlString(BEFORE);
  if (!attempt([&] { doc.loadXmlString(text); }))
  {
    check(doc.getRootTagName() == "before" && doc.getInteger("before/kept") == 7);
    return 0;
  }
  attempt([&] { doc.getRootTagName(); });
  const std::vector<std::string> paths = elementPaths(text);
  for (const std::string& path : { std::string(), std::string("/") })
    readEverything(doc, path);
  for (const std::string& path : paths)
    readEverything(doc, path);
  for (const std::string& path : paths)
    addEverything(doc, path);
  XmlParamDoc copy;
  copy.loadXmlString(doc.getXmlString());
  checkRoundTrip(numberFrom(data, size));
  return 0;
}
