#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "xml_test_helpers.h"

#include <quarn_xml/XmlParamDoc.h>

namespace
{

namespace fs = std::filesystem;

using quarn::xml::MatrixXd;
using quarn::xml::VectorXd;
using quarn::xml::XmlParamDoc;

XmlParamDoc emptyDoc(const std::string& root = "R")
{
  XmlParamDoc doc;
  doc.createEmptyDocument(root);
  return doc;
}

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir
{
public:
  ScratchDir()
  {
    std::string pattern = ::testing::TempDir() + "xml_writer_XXXXXX";
    path_ = ::mkdtemp(&pattern[0]);
  }
  ~ScratchDir() { fs::remove_all(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
  fs::path path_;
};

std::vector<std::string> namesIn(const std::string& dir)
{
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::string& path)
{
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text)
{
  std::ofstream(path) << text;
}

unsigned modeOf(const std::string& path)
{
  struct stat st;
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

std::uint64_t bitsOf(double x)
{
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

TEST(XmlParamDocWriter, EmptyDocumentIsTheRootAlone)
{
  XmlParamDoc doc;
  doc.loadXmlString("<?xml version=\"1.0\"?><old><x type=\"integer\" value=\"1\"/></old>");
  EXPECT_EQ("<old>\n\t<x type=\"integer\" value=\"1\"/>\n</old>\n", doc.getXmlString());
  doc.createEmptyDocument("R");
  EXPECT_EQ("<R/>\n", doc.getXmlString());
  EXPECT_EQ("R", doc.getRootTagName());
}

TEST(XmlParamDocWriter, ValueTexts)
{
  const std::vector<std::pair<std::function<void(XmlParamDoc&)>, std::string>> cases = {
    { [](XmlParamDoc& d) { d.addInteger("R", "x", -42); }, "<x type=\"integer\" value=\"-42\"/>" },
    { [](XmlParamDoc& d) { d.addInteger("R", "x", 1234567); }, "<x type=\"integer\" value=\"1234567\"/>" },
    { [](XmlParamDoc& d) { d.addReal("R", "x", 0.1); }, "<x type=\"real\" value=\"0.10000000000000001\"/>" },
    { [](XmlParamDoc& d) { d.addReal("R", "x", 3); }, "<x type=\"real\" value=\"3\"/>" },
    { [](XmlParamDoc& d) { d.addReal("R", "x", 1e20); }, "<x type=\"real\" value=\"1e+20\"/>" },
    { [](XmlParamDoc& d) { d.addReal("R", "x", 1e-5); }, "<x type=\"real\" value=\"1.0000000000000001e-05\"/>" },
    { [](XmlParamDoc& d) { d.addReal("R", "x", -0.0); }, "<x type=\"real\" value=\"-0\"/>" },
    { [](XmlParamDoc& d) { d.addString("R", "x", "a<b&\"c"); }, "<x type=\"string\" value=\"a&lt;b&amp;&quot;c\"/>" },
    { [](XmlParamDoc& d) { d.addBoolean("R", "x", false); }, "<x type=\"boolean\" value=\"false\"/>" },
    { [](XmlParamDoc& d) { d.addBoolean("R", "x", true); }, "<x type=\"boolean\" value=\"true\"/>" },
    { [](XmlParamDoc& d) { d.addVector("R", "x", (VectorXd(3) << 1, 2.5, -3).finished()); },
      "<x type=\"vector\" value=\"1 2.5 -3 \"/>" },
    { [](XmlParamDoc& d) { d.addVector("R", "x", VectorXd()); }, "<x type=\"vector\" value=\"\"/>" },
    { [](XmlParamDoc& d) { d.addMatrix("R", "x", (MatrixXd(2, 3) << 1, 2, 3, 4, 5, 6).finished()); },
      "<x type=\"matrix\" value=\"1 2 3 ; 4 5 6 ; \"/>" },
    { [](XmlParamDoc& d) { d.addMatrix("R", "x", MatrixXd()); }, "<x type=\"matrix\" value=\"\"/>" },
    { [](XmlParamDoc& d) { d.addMatrix("R", "x", MatrixXd(2, 0)); }, "<x type=\"matrix\" value=\"; ; \"/>" },
    { [](XmlParamDoc& d) {
       d.addWordArray("R", "x", { "left", "right" });
     },
      "<x type=\"word_array\" value=\"left right \"/>" },
    { [](XmlParamDoc& d) { d.addWordArray("R", "x", {}); }, "<x type=\"word_array\" value=\"\"/>" },
  };
  for (std::size_t i = 0; i < cases.size(); ++i)
  {
    XmlParamDoc doc = emptyDoc();
    cases[i].first(doc);
    EXPECT_EQ("<R>\n\t" + cases[i].second + "\n</R>\n", doc.getXmlString()) << i;
  }
}

TEST(XmlParamDocWriter, EveryTypeReadsBackToTheBit)
{
  std::mt19937_64 random(7);
  std::vector<double> reals = {
    0.1, -0.0, 1e-5, 4.9406564584124654e-324, 2.2250738585072009e-308, 1.7976931348623157e308, -1.0 / 3
  };
  while (reals.size() < 200)
  {
    const std::uint64_t bits = random();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (std::isfinite(x))
      reals.push_back(x);
  }
  XmlParamDoc doc = emptyDoc();
  const VectorXd vector = Eigen::Map<const VectorXd>(reals.data(), reals.size());
  const MatrixXd matrix = Eigen::Map<const MatrixXd>(reals.data(), 20, 10);
  const std::vector<std::string> words = { "a,b", "c\td", "<&>" };
  const std::string text = "  two  spaces\tand tab\nand line <&>\"' ";
  for (std::size_t i = 0; i < reals.size(); ++i)
    doc.addReal("R", "r" + std::to_string(i), reals[i]);
  doc.addVector("R", "v", vector);
  doc.addMatrix("R", "m", matrix);
  doc.addInteger("R", "min", INT_MIN);
  doc.addInteger("R", "max", INT_MAX);
  doc.addBoolean("R", "b", true);
  doc.addString("R", "s", text);
  doc.addWordArray("R", "w", words);

  XmlParamDoc back;
  back.loadXmlString(doc.getXmlString());
  for (std::size_t i = 0; i < reals.size(); ++i)
    EXPECT_EQ(bitsOf(reals[i]), bitsOf(back.getReal("R/r" + std::to_string(i)))) << reals[i];
  const VectorXd vectorBack = back.getVector("R/v");
  const MatrixXd matrixBack = back.getMatrix("R/m");
  ASSERT_EQ(vector.size(), vectorBack.size());
  ASSERT_EQ(20, matrixBack.rows());
  ASSERT_EQ(10, matrixBack.cols());
  EXPECT_EQ(0, std::memcmp(vector.data(), vectorBack.data(), vector.size() * sizeof(double)));
  EXPECT_EQ(0, std::memcmp(matrix.data(), matrixBack.data(), matrix.size() * sizeof(double)));
  EXPECT_EQ(INT_MIN, back.getInteger("R/min"));
  EXPECT_EQ(INT_MAX, back.getInteger("R/max"));
  EXPECT_TRUE(back.getBoolean("R/b"));
  EXPECT_EQ(text, back.getString("R/s"));
  EXPECT_EQ(words, back.getWordArray("R/w"));
}

TEST(XmlParamDocWriter, ItemsGoLastUnderTheAddressedElement)
{
  XmlParamDoc doc = emptyDoc();
  doc.addSection("R", "<sub/>");
  doc.addInteger("R//sub/", "k", 1);
  doc.addInteger("/R/sub", "k", 2);
  doc.addInteger("R", "after", 3);
  EXPECT_EQ(
      "<R>\n\t<sub>\n\t\t<k type=\"integer\" value=\"1\"/>\n\t\t<k type=\"integer\" value=\"2\"/>\n"
      "\t</sub>\n\t<after type=\"integer\" value=\"3\"/>\n</R>\n",
      doc.getXmlString());
  EXPECT_EQ(1, doc.getInteger("R/sub/k"));
}

TEST(XmlParamDocWriter, FailuresChangeNothing)
{
  XmlParamDoc none;
  XmlParamDoc doc = emptyDoc();
  const std::string tooDeep = nested(XmlParamDoc::MAX_DEPTH + 1);
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
    { [&] { none.addInteger("R", "x", 1); }, "No document loaded" },
    { [&] { none.addReal("R", "x", 1); }, "No document loaded" },
    { [&] { none.addString("R", "x", ""); }, "No document loaded" },
    { [&] { none.addBoolean("R", "x", true); }, "No document loaded" },
    { [&] { none.addVector("R", "x", VectorXd::Ones(1)); }, "No document loaded" },
    { [&] { none.addMatrix("R", "x", MatrixXd::Ones(1, 1)); }, "No document loaded" },
    { [&] { none.addWordArray("R", "x", {}); }, "No document loaded" },
    { [&] { none.addSection("R", "<S/>"); }, "No document loaded" },
    { [&] { none.getXmlString(); }, "No document loaded" },
    { [&] { none.saveToFile(::testing::TempDir() + "never.xml"); }, "No document loaded" },
    { [&] { doc.addInteger("R/missing", "x", 1); }, "Path element not found: missing" },
    { [&] { doc.addSection("Q", "<S/>"); }, "Path element not found: Q" },
    // A second root element would not make a document.
    { [&] { doc.addInteger("/", "x", 1); }, "Empty path: /" },
    { [&] { doc.addSection("", "<S/>"); }, "Empty path: " },
    { [&] { doc.addSection("R", "<S>"); },
      "Could not add section: SAXParseException: No element found in line 1 column 3" },
    { [&] { doc.addSection("R", tooDeep); },
      "Could not add section: SAXParseException: Document nested deeper than 1000 levels in line 1 column 3000" },
  };
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(cases[i].second, errorOf(cases[i].first)) << i;
  EXPECT_EQ("<R/>\n", doc.getXmlString());
}

TEST(XmlParamDocWriter, RefusesWhatItCouldNotReadBack)
{
  XmlParamDoc doc = emptyDoc();
  const std::vector<std::function<void()>> unreadable = {
    [&] { doc.addInteger("R", "a b", 1); },
    [&] { doc.addReal("R", "1st", 1); },
    [&] { doc.addBoolean("R", "", true); },
    [&] { doc.addBoolean("R", "q:b", true); },  // prefix bound to no namespace
    [&] { doc.addString("R", "s", std::string("bell\x07")); },
    [&] { doc.addString("R", "s", "\xff\xfe"); },  // not UTF-8
    [&] { doc.addWordArray("R", "w", { "nul\x01" }); },
    [&] { XmlParamDoc().createEmptyDocument("<R>"); },
  };
  for (std::size_t i = 0; i < unreadable.size(); ++i)
  {
    const std::string error = errorOf(unreadable[i]);
    EXPECT_TRUE(error.rfind("Could not add item: ", 0) == 0 || error.rfind("Could not create document: ", 0) == 0)
        << i << ": " << error;
  }
  EXPECT_EQ("<R/>\n", doc.getXmlString());
  // Text that needs escaping is fine.
  doc.addString("R", "s", "<&\"'>\t\n");
  XmlParamDoc reread;
  reread.loadXmlString(doc.getXmlString());
  EXPECT_EQ("<&\"'>\t\n", reread.getString("R/s"));
}

TEST(XmlParamDocWriter, NamespacePrefixBoundAboveTheNewItemIsAccepted)
{
  XmlParamDoc doc;
  doc.loadXmlString("<root xmlns:a=\"urn:x\"><s xmlns:b=\"urn:y\"/><t/></root>");
  doc.addInteger("root/s", "a:x", 1);
  doc.addReal("root/s", "b:y", 0.5);
  doc.addInteger("root/s/a:x", "a:z", 2);  // a is also bound by the new element's own name
  // b is declared on s only, and nothing in the document binds c: both refused, the document unchanged.
  for (const char* name : { "b:z", "c:z" })
  {
    EXPECT_EQ("Could not add item: SAXParseException: Unbound prefix in line 1 column 0",
              errorOf([&] { doc.addInteger("root/t", name, 3); }))
        << name;
  }
  XmlParamDoc reread;
  reread.loadXmlString(doc.getXmlString());
  EXPECT_EQ(1, reread.getInteger("root/s/a:x"));
  EXPECT_EQ(0.5, reread.getReal("root/s/b:y"));
  EXPECT_EQ(2, reread.getInteger("root/s/a:x/a:z"));
  EXPECT_FALSE(reread.itemExists("root/t/b:z"));
  EXPECT_FALSE(reread.itemExists("root/t/c:z"));
}

TEST(XmlParamDocWriter, SectionIsCopiedFromAnotherDocument)
{
  XmlParamDoc doc = emptyDoc();
  doc.addInteger("R", "first", 1);
  doc.addSection("R", "<?xml version=\"1.0\"?><S><a type=\"integer\" value=\"2\"/><b type=\"real\" value=\"3\"/></S>");
  EXPECT_EQ(
      "<R>\n\t<first type=\"integer\" value=\"1\"/>\n\t<S>\n\t\t<a type=\"integer\" value=\"2\"/>\n"
      "\t\t<b type=\"real\" value=\"3\"/>\n\t</S>\n</R>\n",
      doc.getXmlString());
}

TEST(XmlParamDocWriter, RemoveXmlHeader)
{
  EXPECT_EQ("<a>\n\t<b/>\n</a>\n",
            XmlParamDoc::removeXmlHeader("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a><b/></a>"));
  for (const std::string& text : { std::string("not xml"), std::string("<a>"), std::string(""), nested(1001) })
    EXPECT_EQ(text, XmlParamDoc::removeXmlHeader(text));
}

TEST(XmlParamDocSave, ReplacesContentAndKeepsPermissions)
{
  const ScratchDir dir;
  XmlParamDoc doc;
  doc.loadXmlString("<?xml version=\"1.0\"?><R><x type=\"integer\" value=\"1\"/></R>");
  writeFile(dir / "c.xml", std::string(1000, 'o'));
  ::chmod((dir / "c.xml").c_str(), 0640);
  doc.saveToFile(dir / "c.xml");
  EXPECT_EQ("<R>\n\t<x type=\"integer\" value=\"1\"/>\n</R>\n\n", readFile(dir / "c.xml"));
  EXPECT_EQ(0640u, modeOf(dir / "c.xml"));
  EXPECT_EQ(std::vector<std::string>{ "c.xml" }, namesIn(dir / ""));
}

TEST(XmlParamDocSave, NewFileGetsTheUmaskedDefaultMode)
{
  const ScratchDir dir;
  const mode_t saved = ::umask(027);
  emptyDoc().saveToFile(dir / "new.xml");
  ::umask(saved);
  EXPECT_EQ(0640u, modeOf(dir / "new.xml"));
  EXPECT_EQ("<R/>\n\n", readFile(dir / "new.xml"));
}

TEST(XmlParamDocSave, SymbolicLinksAreFollowed)
{
  const ScratchDir dir;
  fs::create_directory(dir / "real");
  writeFile(dir / "real/c.xml", "old");
  fs::create_symlink("real/c.xml", dir / "relative.xml");
  fs::create_symlink(dir / "relative.xml", dir / "absolute.xml");
  fs::create_symlink("real/missing.xml", dir / "dangling.xml");
  emptyDoc("A").saveToFile(dir / "absolute.xml");
  emptyDoc("B").saveToFile(dir / "dangling.xml");
  EXPECT_TRUE(fs::is_symlink(dir / "relative.xml"));
  EXPECT_TRUE(fs::is_symlink(dir / "absolute.xml"));
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.xml"));
  EXPECT_EQ("<A/>\n\n", readFile(dir / "real/c.xml"));
  EXPECT_EQ("<B/>\n\n", readFile(dir / "real/missing.xml"));
  EXPECT_EQ((std::vector<std::string>{ "c.xml", "missing.xml" }), namesIn(dir / "real"));
}

TEST(XmlParamDocSave, FailuresThrowAndLeaveNothingBehind)
{
  const ScratchDir dir;
  fs::create_directory(dir / "sub");
  fs::create_symlink("loop.xml", dir / "loop.xml");
  writeFile(dir / "keep.xml", "old content");
  XmlParamDoc doc = emptyDoc();
  for (int i = 0; i < 50; ++i)
    doc.addString("R", "item", "a value long enough to pass the file size limit below");
  const std::vector<std::pair<std::string, std::string>> cases = {
    { dir / "missing/c.xml", "No such file or directory" },
    { dir / "sub", "Is a directory" },
    { dir / "loop.xml", "Too many levels of symbolic links" },
  };
  for (const auto& c : cases)
    EXPECT_EQ("Could not save file " + c.first + ": " + c.second, errorOf([&] { doc.saveToFile(c.first); }));

  // A write that fails half-way leaves the old file as it was.
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit savedLimit;
  ::getrlimit(RLIMIT_FSIZE, &savedLimit);
  rlimit small = savedLimit;
  small.rlim_cur = 100;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string error = errorOf([&] { doc.saveToFile(dir / "keep.xml"); });
  ::setrlimit(RLIMIT_FSIZE, &savedLimit);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_EQ("Could not save file " + (dir / "keep.xml") + ": File too large", error);
  EXPECT_EQ("old content", readFile(dir / "keep.xml"));
  EXPECT_EQ((std::vector<std::string>{ "keep.xml", "loop.xml", "sub" }), namesIn(dir / ""));
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST(XmlParamDocWriter, SetVectorRefusesWhatWouldNotReadBack)
{
  XmlParamDoc doc;
  doc.loadXmlString("<R><!-- kept --><v type=\"vector\" value=\"1 2\"/><n type=\"integer\" value=\"1\"/></R>");
  const std::string before = doc.getXmlString();
  EXPECT_THROW(doc.setVector("R/v", VectorXd()), std::runtime_error);
  EXPECT_THROW(doc.setVector("R/v", VectorXd::Constant(2, NAN)), std::runtime_error);
  EXPECT_THROW(doc.setVector("R/n", VectorXd::Constant(2, 1.0)), std::runtime_error);
  EXPECT_THROW(doc.setVector("R/missing", VectorXd::Constant(2, 1.0)), std::runtime_error);
  EXPECT_EQ(before, doc.getXmlString());
  doc.setVector("R/v", (VectorXd(3) << 0.1, -1e-300, 3).finished());
  EXPECT_EQ(
      "<R>\n\t<!-- kept -->\n\t<v type=\"vector\" value=\"0.1 -1e-300 3\"/>\n\t<n type=\"integer\" "
      "value=\"1\"/>\n</R>\n",
      doc.getXmlString());
}

}  // namespace
