#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xml_test_helpers.h"

#include <quarn_xml/XmlParamDoc.h>

namespace
{

using quarn::xml::MatrixXd;
using quarn::xml::VectorXd;
using quarn::xml::XmlParamDoc;

XmlParamDoc loaded(const std::string& text)
{
  XmlParamDoc doc;
  doc.loadXmlString(text);
  return doc;
}

// A document with one item, config/i, of the given type and value text.
XmlParamDoc itemDoc(const std::string& type, const std::string& value)
{
  return loaded("<config><i type=\"" + type + "\" value=\"" + value + "\"/></config>");
}

std::string writeFile(const std::string& name, const std::string& text)
{
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

const char* const kConfig =
    "<?xml version=\"1.0\"?>\n"
    "<config>\n"
    "  <controller>\n"
    "    <gains type=\"vector\" value=\"1.0, 0.5, 0.0\"/>\n"
    "    <enabled type=\"boolean\" value=\"true\"/>\n"
    "  </controller>\n"
    "</config>\n";

TEST(XmlParamDocLoad, FileAndStringGiveTheSameItems)
{
  XmlParamDoc fromFile;
  fromFile.loadXmlFile(writeFile("config.xml", kConfig));
  EXPECT_EQ(loaded(kConfig).getSection(""), fromFile.getSection(""));
  EXPECT_TRUE(fromFile.getBoolean("config/controller/enabled"));
}

TEST(XmlParamDocLoad, FailuresKeepTheEarlierDocument)
{
  XmlParamDoc doc = loaded(kConfig);
  const std::string missing = ::testing::TempDir() + "no-such-file.xml";
  EXPECT_NE(std::string::npos, errorOf([&] { doc.loadXmlFile(missing); }).find(missing));
  EXPECT_EQ(0u, errorOf([&] { doc.loadXmlString("<config><open></config>"); }).find("SAXParseException"));
  EXPECT_EQ(0u, errorOf([&] { doc.loadXmlString(""); }).find("SAXParseException"));
  EXPECT_TRUE(doc.getBoolean("config/controller/enabled"));
}

TEST(XmlParamDocLoad, RootTagNameIsTheRootElementName)
{
  const std::vector<std::pair<std::string, std::string>> cases = {
    { "<config/>", "config" },
    { "<?xml version=\"1.0\"?><config/>", "config" },
    { "<!-- note --><config/>", "config" },
    { "<?target data?><config/>", "config" },
    { "<?xml version=\"1.0\"?>\n<!-- a -->\n<?target data?>\n<!DOCTYPE config>\n<!-- b -->\n<config/>\n<!-- c -->",
      "config" },
    { "<p:config xmlns:p=\"urn:x\"/>", "p:config" },
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.second, loaded(c.first).getRootTagName()) << c.first;
}

TEST(XmlParamDocLoad, WithoutDocumentLookupsFail)
{
  const XmlParamDoc doc;
  const std::vector<std::function<void()>> calls = {
    [&] { doc.getRootTagName(); },        [&] { doc.getType("a/b"); },      [&] { doc.getSection("a"); },
    [&] { doc.getSiblingSections("a"); }, [&] { doc.getInteger("a/b"); },   [&] { doc.getReal("a/b"); },
    [&] { doc.getString("a/b"); },        [&] { doc.getBoolean("a/b"); },   [&] { doc.getVector("a/b"); },
    [&] { doc.getMatrix("a/b"); },        [&] { doc.getWordArray("a/b"); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i)
    EXPECT_EQ("No document loaded", errorOf(calls[i])) << i;
  EXPECT_FALSE(doc.itemExists("a/b"));
}

TEST(XmlParamDocPath, EmptySegmentsAreIgnored)
{
  const XmlParamDoc doc = loaded(kConfig);
  for (const char* path : { "config/controller/gains", "/config/controller/gains/", "config//controller/gains",
                            "//config///controller/gains//" })
    EXPECT_EQ(XmlParamDoc::VECTOR_TYPE, doc.getType(path)) << path;
}

TEST(XmlParamDocPath, UnmatchedSegmentIsNamed)
{
  const XmlParamDoc doc = loaded(
      "<config><?gains x?><gains type=\"integer\" value=\"1\"/>"
      "<leg><!-- c --><k type=\"integer\" value=\"2\"/></leg></config>");
  const std::vector<std::pair<std::string, std::string>> cases = {
    { "other/gains", "other" },
    { "config/ gains", " gains" },
    { "config/Gains", "Gains" },
    { "config/leg/k/deeper", "deeper" },
    { "config/leg/#comment", "#comment" },
    // The processing instruction comes first and shadows the element of the same name.
    { "config/gains", "gains" },
  };
  for (const auto& c : cases)
  {
    EXPECT_EQ("Path element not found: " + c.second, errorOf([&] { doc.getType(c.first); })) << c.first;
    EXPECT_EQ("Path element not found: " + c.second, errorOf([&] { doc.getSection(c.first); })) << c.first;
    EXPECT_FALSE(doc.itemExists(c.first)) << c.first;
  }
  EXPECT_EQ(2, doc.getInteger("config/leg/k"));
}

TEST(XmlParamDocPath, PathWithoutSegmentsIsNoItem)
{
  const XmlParamDoc doc = loaded(kConfig);
  for (const char* path : { "", "/", "///" })
  {
    EXPECT_FALSE(doc.itemExists(path));
    EXPECT_EQ(std::string("Empty path: ") + path, errorOf([&] { doc.getInteger(path); }));
    EXPECT_TRUE(doc.getSiblingSections(path).empty());
  }
}

TEST(XmlParamDocItem, AttributeErrorsNameTheElement)
{
  const XmlParamDoc doc = loaded(
      "<c><three type=\"integer\" value=\"1\" unit=\"m\"/><section><x/></section>"
      "<noValue type=\"integer\" val=\"1\"/><noType value=\"1\" kind=\"integer\"/>"
      "<one type=\"integer\"/><swapped value=\"4\" type=\"integer\"/></c>");
  const std::vector<std::pair<std::string, std::string>> cases = {
    { "c/three", "Invalid number of attributes in 'three' element" },
    { "c/section", "Invalid number of attributes in 'section' element" },
    { "c/one", "Invalid number of attributes in 'one' element" },
    { "c/noValue", "'value' attribute not found in 'noValue' element" },
    { "c/noType", "'type' attribute not found in 'noType' element" },
  };
  for (const auto& c : cases)
  {
    EXPECT_EQ(c.second, errorOf([&] { doc.getType(c.first); })) << c.first;
    EXPECT_FALSE(doc.itemExists(c.first)) << c.first;
  }
  EXPECT_EQ(4, doc.getInteger("c/swapped"));
}

TEST(XmlParamDocItem, TypeMustBeOneOfTheSevenNames)
{
  for (const std::string& type :
       { XmlParamDoc::INTEGER_TYPE, XmlParamDoc::REAL_TYPE, XmlParamDoc::STRING_TYPE, XmlParamDoc::BOOLEAN_TYPE,
         XmlParamDoc::VECTOR_TYPE, XmlParamDoc::MATRIX_TYPE, XmlParamDoc::WORD_ARRAY_TYPE })
    EXPECT_EQ(type, itemDoc(type, "").getType("config/i"));
  const XmlParamDoc doc = itemDoc("Integer", "1");
  EXPECT_TRUE(doc.itemExists("config/i"));
  EXPECT_EQ("Unknowns type: Integer. Path: /config/i", errorOf([&] { doc.getType("/config/i"); }));
}

TEST(XmlParamDocItem, AttributeValuesAreNormalised)
{
  // Literal tabs and line breaks arrive as spaces; character references survive.
  const XmlParamDoc doc = loaded(
      "<c><s type=\"string\" value=\"a\tb\nc\r\nd&#9;e&#10;f&lt;&amp;\"/>"
      "<m type=\"matrix\" value=\"1 2 ;\n\t3 4 ;\n\"/></c>");
  EXPECT_EQ("a b c d\te\nf<&", doc.getString("c/s"));
  EXPECT_EQ((MatrixXd(2, 2) << 1, 2, 3, 4).finished(), doc.getMatrix("c/m"));
}

TEST(XmlParamDocGetters, IntegersConvertOnlyWhole)
{
  const std::vector<std::pair<std::string, int>> good = {
    { "7", 7 },
    { "-7", -7 },
    { "+7", 7 },
    { "007", 7 },
    { "2147483647", 2147483647 },
    { "-2147483648", -2147483647 - 1 },
  };
  for (const auto& c : good)
    EXPECT_EQ(c.second, itemDoc("integer", c.first).getInteger("config/i")) << c.first;
  for (const char* bad : { " 42", "42 ", "4.2", "5.0", "0x2A", "", "2147483648", "-2147483649", "1e3", "+" })
    EXPECT_EQ(std::string("Invalid 'value' attribute: ") + bad + " Path: config/i",
              errorOf([&] { itemDoc("integer", bad).getInteger("config/i"); }));
}

TEST(XmlParamDocGetters, RealsConvertOnlyWholeFiniteNumbers)
{
  const std::vector<std::pair<std::string, double>> good = {
    { "1", 1.0 },
    { "-0.25", -0.25 },
    { ".5", 0.5 },
    { "5.", 5.0 },
    { "+.5", 0.5 },
    { "2e-3", 2e-3 },
    { "1E+2", 100.0 },
    { "0.10000000000000001", 0.1 },
    { "1e-400", 0.0 },
    { "4.9406564584124654e-324", 4.9406564584124654e-324 },
    { "1.7976931348623157e308", 1.7976931348623157e308 },
  };
  for (const auto& c : good)
    EXPECT_EQ(c.second, itemDoc("real", c.first).getReal("config/i")) << c.first;
  for (const char* bad : { "nan", "NaN", "inf", "-inf", "Infinity", " 1.5", "1.5 ", "1.5x", "", "0x10", "1e400", "1 2",
                           "1,5", "1e", "." })
    EXPECT_EQ(std::string("Invalid 'value' attribute: ") + bad + " Path: config/i",
              errorOf([&] { itemDoc("real", bad).getReal("config/i"); }));
}

TEST(XmlParamDocGetters, BooleansAndStrings)
{
  EXPECT_TRUE(itemDoc("boolean", "true").getBoolean("config/i"));
  EXPECT_FALSE(itemDoc("boolean", "false").getBoolean("config/i"));
  for (const char* bad : { "True", "1", " true", "false ", "" })
    EXPECT_EQ(std::string("Invalid 'value' attribute: ") + bad + " Path: config/i",
              errorOf([&] { itemDoc("boolean", bad).getBoolean("config/i"); }));
  EXPECT_EQ("  two  words ", itemDoc("string", "  two  words ").getString("config/i"));
  EXPECT_EQ("", itemDoc("string", "").getString("config/i"));
}

TEST(XmlParamDocGetters, Vectors)
{
  for (const char* text : { "1, 2,,3", "1 2 3", " ,1&#9;2 ,3, ", "1e0 +2 3." })
    EXPECT_EQ(VectorXd::LinSpaced(3, 1, 3), itemDoc("vector", text).getVector("config/i")) << text;
  for (const char* bad : { "1 2 x", "1 nan", "", " , " })
    EXPECT_EQ(std::string("Invalid 'value' attribute: ") + bad + " Path: config/i",
              errorOf([&] { itemDoc("vector", bad).getVector("config/i"); }));
}

TEST(XmlParamDocGetters, Matrices)
{
  const std::vector<std::pair<std::string, MatrixXd>> good = {
    { "1 2; 3 4", (MatrixXd(2, 2) << 1, 2, 3, 4).finished() },
    { "1 2 ; 3 4 ; ", (MatrixXd(2, 2) << 1, 2, 3, 4).finished() },
    { "1 2 3", (MatrixXd(1, 3) << 1, 2, 3).finished() },
    { "1 2; ; 3 4", (MatrixXd(1, 2) << 1, 2).finished() },
    { ";1,2;", (MatrixXd(1, 2) << 1, 2).finished() },
    { "1;;2", (MatrixXd(2, 1) << 1, 2).finished() },
  };
  for (const auto& c : good)
    EXPECT_EQ(c.second, itemDoc("matrix", c.first).getMatrix("config/i")) << c.first;

  const std::vector<std::pair<std::string, std::string>> bad = {
    { "1 2; 3", "Matrix dimensions must agree" },
    { "1 2; 3; x", "Invalid 'value' attribute: 1 2; 3; x Path: config/i" },
    { "", "Invalid 'value' attribute (no rows):  Path: config/i" },
    { " ; 1 2", "Invalid 'value' attribute (no rows):  ; 1 2 Path: config/i" },
  };
  for (const auto& c : bad)
    EXPECT_EQ(c.second, errorOf([&] { itemDoc("matrix", c.first).getMatrix("config/i"); })) << c.first;
}

TEST(XmlParamDocGetters, WordArrays)
{
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
    { "  alpha  beta ", { "alpha", "beta" } },
    { "a,b c", { "a,b", "c" } },
    { "a&#9;b", { "a\tb" } },
    { "", {} },
    { "   ", {} },
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.second, itemDoc("word_array", c.first).getWordArray("config/i")) << c.first;
}

TEST(XmlParamDocGetters, TypeMismatchWordingPerGetter)
{
  const XmlParamDoc doc = itemDoc("integer", "42");
  const XmlParamDoc real = itemDoc("real", "x");
  const std::string mismatch = "Type mismatch. Path: /config/i";
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
    { [&] { doc.getReal("/config/i"); }, "Type mismatch: integer; value: 42; path: /config/i" },
    { [&] { doc.getString("/config/i"); }, "Invalid 'value' attribute: 42 Path: /config/i" },
    { [&] { real.getInteger("/config/i"); }, mismatch },
    { [&] { doc.getBoolean("/config/i"); }, mismatch },
    { [&] { doc.getVector("/config/i"); }, mismatch },
    { [&] { doc.getMatrix("/config/i"); }, mismatch },
    { [&] { doc.getWordArray("/config/i"); }, mismatch },
    { [&] { doc.getInteger("/config/j"); }, "Path element not found: j" },
  };
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(cases[i].second, errorOf(cases[i].first)) << i;
}

TEST(XmlParamDocSections, SectionTextLoadsAsADocument)
{
  const XmlParamDoc doc = loaded(
      "<?xml version=\"1.0\"?><config><controller><gains type=\"vector\" "
      "value=\"1.0, 0.5, 0.0\"/><enabled type=\"boolean\" value=\"true\"/>"
      "</controller></config>");
  EXPECT_EQ(
      "<config>\n"
      "\t<controller>\n"
      "\t\t<gains type=\"vector\" value=\"1.0, 0.5, 0.0\"/>\n"
      "\t\t<enabled type=\"boolean\" value=\"true\"/>\n"
      "\t</controller>\n"
      "</config>\n",
      doc.getSection("config"));
  const XmlParamDoc section = loaded(doc.getSection("/config/controller/"));
  EXPECT_EQ("controller", section.getRootTagName());
  EXPECT_EQ(VectorXd::LinSpaced(3, 1.0, 0.0), section.getVector("controller/gains"));
  // The whole document, without its XML declaration.
  EXPECT_EQ(doc.getSection("config"), doc.getSection("/"));
}

TEST(XmlParamDocSections, SiblingSectionsFromTheFirstOn)
{
  const XmlParamDoc doc = loaded(
      "<config><other/><leg n=\"1\"/><gap/><!-- c --><leg n=\"2\"><x/></leg>"
      "<legs/></config>");
  const std::list<std::string> expected = { "<leg n=\"1\"/>\n", "<leg n=\"2\">\n\t<x/>\n</leg>\n" };
  EXPECT_EQ(expected, doc.getSiblingSections("config/leg"));
  EXPECT_EQ("<leg n=\"1\"/>\n", doc.getSection("config/leg"));
  EXPECT_EQ("Path element not found: arm", errorOf([&] { doc.getSiblingSections("config/arm"); }));
}

TEST(XmlParamDocSafety, ExternalEntitiesAreNeverRead)
{
  const std::string secret = writeFile("secret.txt", "SECRET");
  const std::string dtd = writeFile("secret.dtd", "<!ENTITY e \"SECRET\">");
  XmlParamDoc doc;
  EXPECT_NE("no exception", errorOf([&] {
              doc.loadXmlString("<!DOCTYPE c [<!ENTITY e SYSTEM \"file://" + secret + "\">]><c>&e;</c>");
            }));
  for (const std::string& text :
       { "<!DOCTYPE c [<!ENTITY % p SYSTEM \"file://" + secret + "\"> %p;]><c/>",
         "<!DOCTYPE c SYSTEM \"file://" + dtd + "\"><c><i type=\"string\" value=\"x&e;\"/>&e;</c>" })
  {
    doc.loadXmlString(text);
    EXPECT_EQ(std::string::npos, doc.getSection("").find("SECRET")) << text;
  }
}

TEST(XmlParamDocSafety, EntityExpansionBombFails)
{
  std::string entities = "<!ENTITY e0 \"lol\">";
  for (int i = 1; i <= 10; ++i)
  {
    const std::string ref = "&e" + std::to_string(i - 1) + ";";
    std::string body;
    for (int k = 0; k < 10; ++k)
      body += ref;
    entities += "<!ENTITY e" + std::to_string(i) + " \"" + body + "\">";
  }
  XmlParamDoc doc = loaded(kConfig);
  for (const char* root : { "<c>&e10;</c>", "<c><i type=\"string\" value=\"&e10;\"/></c>" })
    EXPECT_NE(std::string::npos,
              errorOf([&] { doc.loadXmlString("<!DOCTYPE c [" + entities + "]>" + root); }).find("amplification"));
  EXPECT_TRUE(doc.getBoolean("config/controller/enabled"));
}

TEST(XmlParamDocSafety, NestingIsLimitedWhileParsing)
{
  XmlParamDoc doc;
  const std::string deepest = nested(XmlParamDoc::MAX_DEPTH - 1, "<i type=\"integer\" value=\"5\"/>");
  doc.loadXmlString(deepest);
  std::string path;
  for (int i = 1; i < XmlParamDoc::MAX_DEPTH; ++i)
    path += "s/";
  EXPECT_EQ(5, doc.getInteger(path + "i"));
  EXPECT_EQ(5, loaded(doc.getSection("")).getInteger(path + "i"));

  const std::string refusal = "Document nested deeper than 1000 levels";
  for (int depth : { XmlParamDoc::MAX_DEPTH + 1, 300000 })
  {
    EXPECT_NE(std::string::npos, errorOf([&] { doc.loadXmlString(nested(depth)); }).find(refusal)) << depth;
    EXPECT_NE(std::string::npos, errorOf([&] { doc.loadXmlFile(writeFile("deep.xml", nested(depth))); }).find(refusal));
  }
  EXPECT_EQ(5, doc.getInteger(path + "i"));
}

}  // namespace
