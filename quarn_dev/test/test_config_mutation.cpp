// Starts hover_lock on 200 mutated versions of its example configuration: truncated, attributes dropped or
// duplicated, numbers replaced by text, huge vectors, deep nesting and more. Each run must either come up (it
// logs the navigation message it is sent) and end cleanly when interrupted, or exit with status 1 after
// exactly one FATAL line; never a signal, an abort or a hang. The mutations are deterministic.

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <quarn_common/NavigationData.h>

#include <quarn_test/ros_test_harness.h>

using quarn_common::NavigationData;

static ::testing::Environment* const rosEnvironment =
    ::testing::AddGlobalTestEnvironment(new quarn_test::RosEnvironment("config_mutation_test"));

namespace
{

const int VARIANTS = 200;
const unsigned SEED = 7654321;
// Nodes started side by side, each in a namespace of its own.
const int SLOTS = 4;
// Console lines may start with colour codes: markers are matched anywhere.
const char* const RECEIVED = "Received navigation data";
const char* const FATAL = "[FATAL]";

// A configuration text with a record of what was done to it.
struct Variant
{
  std::string text;
  std::string history;
};

// Where a piece of text sits: position and length.
struct Span
{
  std::size_t at;
  std::size_t length;
};

// Every piece of text that starts with open and ends with the next close, with none of the characters of
// forbidden in between. Plain scanning: the texts grow to megabytes, too long for a backtracking regex.
std::vector<Span> spans(const std::string& text, const std::string& open, const std::string& close,
                        const std::string& forbidden = "")
{
  std::vector<Span> found;
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1))
  {
    const std::size_t end = text.find_first_of(close.substr(0, 1) + forbidden, at + open.size());
    if (end != std::string::npos && text.compare(end, close.size(), close) == 0)
    {
      found.push_back({ at, end + close.size() - at });
    }
  }
  return found;
}

// Every run of digits, with the sign and decimal point before it.
std::vector<Span> numbers(const std::string& text)
{
  std::vector<Span> found;
  for (std::size_t at = text.find_first_of("0123456789"); at != std::string::npos;)
  {
    std::size_t begin = at;
    while (begin > 0 && std::string("+-.").find(text[begin - 1]) != std::string::npos)
    {
      --begin;
    }
    const std::size_t end = std::min(text.find_first_not_of("0123456789.", at), text.size());
    found.push_back({ begin, end - begin });
    at = text.find_first_of("0123456789", end);
  }
  return found;
}

// Mutations of a configuration text; each one is a small rewrite picked with the generator.
class Mutator
{
public:
  explicit Mutator(unsigned seed) : random_(seed) {}

  // Mutation number kind (modulo their count), then up to two more picked at random.
  Variant mutate(const std::string& base, std::size_t kind)
  {
    Variant variant{ base, "" };
    apply(variant, kind % MUTATIONS.size());
    for (std::size_t more = pick(3); more > 0; --more)
    {
      apply(variant, pick(MUTATIONS.size()));
    }
    return variant;
  }

private:
  struct Mutation
  {
    const char* name;
    void (Mutator::*rewrite)(std::string&);
  };
  static const std::vector<Mutation> MUTATIONS;

  std::size_t pick(std::size_t n) { return n == 0 ? 0 : random_() % n; }

  template <typename T>
  const T& pickFrom(const std::vector<T>& options)
  {
    return options[pick(options.size())];
  }

  void apply(Variant& variant, std::size_t kind)
  {
    (this->*MUTATIONS[kind].rewrite)(variant.text);
    variant.history += std::string(variant.history.empty() ? "" : ", ") + MUTATIONS[kind].name;
  }

  // Replaces one of the spans (picked at random) by what make returns for its text; no span, no change.
  void replaceOne(std::string& text, const std::vector<Span>& candidates,
                  const std::function<std::string(const std::string&)>& make)
  {
    if (candidates.empty())
    {
      return;
    }
    const Span span = candidates[pick(candidates.size())];
    text.replace(span.at, span.length, make(text.substr(span.at, span.length)));
  }

  static std::string repeated(const std::string& unit, std::size_t times)
  {
    std::string text;
    text.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i)
    {
      text += unit;
    }
    return text;
  }

  static std::string nested(std::size_t depth, const std::string& inside)
  {
    return repeated("<n>", depth) + inside + repeated("</n>", depth);
  }

  static std::vector<Span> attributes(const std::string& text)
  {
    std::vector<Span> found = spans(text, " type=\"", "\"");
    const std::vector<Span> values = spans(text, " value=\"", "\"");
    found.insert(found.end(), values.begin(), values.end());
    return found;
  }

  static std::vector<Span> items(const std::string& text) { return spans(text, "<", "/>", "<>"); }

  static std::vector<Span> vectorValues(const std::string& text) { return spans(text, VECTOR_VALUE, "\""); }

  // The whole root element, when the text still has one.
  static std::vector<Span> root(const std::string& text)
  {
    const std::size_t open = text.find(ROOT_OPEN);
    const std::size_t close = text.rfind(ROOT_CLOSE);
    if (open == std::string::npos || close == std::string::npos || close < open)
    {
      return {};
    }
    return { { open, close + ROOT_CLOSE.size() - open } };
  }

  static std::string rootContent(const std::string& element)
  {
    return element.substr(ROOT_OPEN.size(), element.size() - ROOT_OPEN.size() - ROOT_CLOSE.size());
  }

  void truncate(std::string& text) { text.resize(pick(text.size())); }

  void dropAttribute(std::string& text)
  {
    replaceOne(text, attributes(text), [](const std::string&) { return std::string(); });
  }

  void duplicateAttribute(std::string& text)
  {
    replaceOne(text, attributes(text), [](const std::string& a) { return a + a; });
  }

  void numberToText(std::string& text)
  {
    static const std::vector<std::string> words = { "abc", "nan", "inf", "-inf",  "1e999", "0x10", "1.5x",
                                                    "",    "--1", "1e",  "&amp;", "&#59;", "1 ;2" };
    replaceOne(text, numbers(text), [&](const std::string&) { return pickFrom(words); });
  }

  void hugeVector(std::string& text)
  {
    const std::string values = repeated("0.5 -1e300 3 ", 20000 + pick(20000));
    replaceOne(text, vectorValues(text), [&](const std::string&) { return VECTOR_VALUE + values + "\""; });
  }

  void shortVector(std::string& text)
  {
    static const std::vector<std::string> values = { "", " ", "1", "1 2", ", ,", "1 2 3 4 5" };
    replaceOne(text, vectorValues(text), [&](const std::string&) { return VECTOR_VALUE + pickFrom(values) + "\""; });
  }

  // Deep nesting beside the items, around the nesting limit of the document parser.
  void nestBeside(std::string& text)
  {
    static const std::vector<std::size_t> depths = { 50, 998, 999, 1000, 100000 };
    const std::size_t depth = pickFrom(depths);
    replaceOne(text, items(text), [&](const std::string& item) { return item + nested(depth, ""); });
  }

  // Deep nesting around the items, which the root then no longer holds.
  void nestAround(std::string& text)
  {
    static const std::vector<std::size_t> depths = { 1, 500, 100000 };
    const std::size_t depth = pickFrom(depths);
    replaceOne(text, root(text), [&](const std::string& element) {
      return ROOT_OPEN + nested(depth, rootContent(element)) + ROOT_CLOSE;
    });
  }

  void dropItem(std::string& text)
  {
    replaceOne(text, items(text), [](const std::string&) { return std::string(); });
  }

  void duplicateItem(std::string& text)
  {
    replaceOne(text, items(text), [](const std::string& item) { return item + item; });
  }

  void retype(std::string& text)
  {
    static const std::vector<std::string> types = { "integer", "real",       "string", "boolean", "vector",
                                                    "matrix",  "word_array", "Vector", "",        "vector " };
    replaceOne(text, spans(text, " type=\"", "\""),
               [&](const std::string&) { return " type=\"" + pickFrom(types) + "\""; });
  }

  void setMode(std::string& text)
  {
    static const std::vector<std::string> modes = { "2",  "-1",  "2147483647", "2147483648", "-2147483649", "1.0",
                                                    " 1", "0x1", "+1",         "007",        "one" };
    replaceOne(text, spans(text, MODE_VALUE, "\""),
               [&](const std::string&) { return MODE_VALUE + pickFrom(modes) + "\""; });
  }

  // A few characters replaced by printable ones that matter to XML.
  void flipCharacters(std::string& text)
  {
    static const std::string characters = "<>&\"'/=;, x9-.eE!?[]";
    for (std::size_t flips = 1 + pick(4); flips > 0 && !text.empty(); --flips)
    {
      text[pick(text.size())] = characters[pick(characters.size())];
    }
  }

  // A DOCTYPE whose entities expand a billion times over, used as a vector value.
  void entityBomb(std::string& text)
  {
    std::string doctype = "<!DOCTYPE hover_lock [<!ENTITY e0 \"1 \">";
    for (int level = 1; level <= 9; ++level)
    {
      doctype +=
          "<!ENTITY e" + std::to_string(level) + " \"" + repeated("&e" + std::to_string(level - 1) + ";", 10) + "\">";
    }
    text = doctype + "]>\n" + text;
    replaceOne(text, vectorValues(text), [](const std::string&) { return VECTOR_VALUE + "&e9;\""; });
  }

  void declare(std::string& text)
  {
    static const std::vector<std::string> declarations = {
      "<?xml version=\"1.0\"?>",
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
      "<?xml version=\"1.0\" encoding=\"EBCDIC\"?>",
      "<?xml version=\"2.0\"?>",
      "<!-- first -->",
      "<?pi?>",
    };
    text = pickFrom(declarations) + text;
  }

  void renameRoot(std::string& text)
  {
    replaceOne(text, root(text),
               [](const std::string& element) { return "<other>" + rootContent(element) + "</other>"; });
  }

  static const std::string VECTOR_VALUE;
  static const std::string MODE_VALUE;
  static const std::string ROOT_OPEN;
  static const std::string ROOT_CLOSE;

  std::mt19937 random_;
};

const std::string Mutator::VECTOR_VALUE = "type=\"vector\" value=\"";
const std::string Mutator::MODE_VALUE = "<mode type=\"integer\" value=\"";
const std::string Mutator::ROOT_OPEN = "<hover_lock>";
const std::string Mutator::ROOT_CLOSE = "</hover_lock>";

const std::vector<Mutator::Mutation> Mutator::MUTATIONS = {
  { "truncate", &Mutator::truncate },
  { "drop attribute", &Mutator::dropAttribute },
  { "duplicate attribute", &Mutator::duplicateAttribute },
  { "number to text", &Mutator::numberToText },
  { "huge vector", &Mutator::hugeVector },
  { "short vector", &Mutator::shortVector },
  { "nest beside", &Mutator::nestBeside },
  { "nest around", &Mutator::nestAround },
  { "drop item", &Mutator::dropItem },
  { "duplicate item", &Mutator::duplicateItem },
  { "retype", &Mutator::retype },
  { "set mode", &Mutator::setMode },
  { "flip characters", &Mutator::flipCharacters },
  { "entity bomb", &Mutator::entityBomb },
  { "declare", &Mutator::declare },
  { "rename root", &Mutator::renameRoot },
};

// The last lines of a log, enough to see why a run went wrong without the whole configuration it printed.
std::string tail(const std::string& output)
{
  const std::size_t keep = 2000;
  return output.size() <= keep ? output : "..." + output.substr(output.size() - keep);
}

// One place for a node: a namespace with a latched navigation message that every node started there receives
// as soon as it subscribes, and logs once it runs its event loop.
class Slot
{
public:
  explicit Slot(const std::string& ns) : ns_(ns)
  {
    ros::NodeHandle nh(ns);
    probe_ = nh.advertise<NavigationData>("navigator_data", 1, true);
    probe_.publish(NavigationData());
  }

  bool busy() const { return node_.has_value(); }

  void start(int index, Variant variant)
  {
    index_ = index;
    variant_ = std::move(variant);
    ros::param::set(ns_ + "/hover_lock_config", variant_.text);
    node_.emplace(quarn_test::startProcess({ HOVER_LOCK_BINARY, "__ns:=" + ns_ }));
    started_ = std::chrono::steady_clock::now();
  }

  // Judges the run once it has an outcome; true when the slot is free again. Counts runs that came up.
  bool settle(int& ran)
  {
    const bool up = quarn_test::countOf(node_->output(), RECEIVED) > 0;
    const bool ended = !node_->running();
    const bool hung =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() > quarn_test::TIMEOUT;
    if (!up && !ended && !hung)
    {
      return false;
    }
    const quarn_test::ExitStatus status = node_->stop();
    const std::string output = node_->output();
    const std::string context = "variant " + std::to_string(index_) + " (" + variant_.history + ")\n" + tail(output);
    if (up)
    {
      ++ran;
      EXPECT_EQ("exit 0", status.describe()) << context;
      EXPECT_EQ(0u, quarn_test::countOf(output, FATAL)) << context;
    }
    else
    {
      EXPECT_FALSE(hung) << "neither up nor ended: " << context;
      EXPECT_EQ("exit 1", status.describe()) << context;
      EXPECT_EQ(1u, quarn_test::countOf(output, FATAL)) << context;
    }
    node_.reset();
    return true;
  }

private:
  std::string ns_;
  ros::Publisher probe_;
  std::optional<quarn_test::ChildProcess> node_;
  int index_ = 0;
  Variant variant_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace

TEST(ConfigMutation, EveryVariantRunsOrEndsWithOneFatalLine)
{
  const std::string ns = quarn_test::testNamespace();
  const std::string base = quarn_test::readFile(QUARN_DEV_SOURCE_DIR "/config/hover_lock_mode1.xml");
  ASSERT_NE(std::string::npos, base.find("<hover_lock>"));
  Mutator mutator(SEED);
  std::vector<Slot> slots;
  slots.reserve(SLOTS);
  for (int i = 0; i < SLOTS; ++i)
  {
    slots.emplace_back(ns + "/slot" + std::to_string(i));
  }
  int next = 0;
  int ran = 0;
  int done = 0;
  while (done < VARIANTS)
  {
    for (Slot& slot : slots)
    {
      if (slot.busy() && slot.settle(ran))
      {
        ++done;
      }
      if (!slot.busy() && next < VARIANTS)
      {
        slot.start(next, mutator.mutate(base, next));
        ++next;
      }
    }
    quarn_test::spinFor(0.01);
  }
  std::cout << VARIANTS << " variants: " << ran << " came up, " << VARIANTS - ran << " were refused" << std::endl;
  // Both outcomes must be exercised for the check to mean anything.
  EXPECT_GE(ran, VARIANTS / 20);
  EXPECT_LE(ran, VARIANTS - VARIANTS / 20);
}
