#ifndef QUARN_LIB_TEST_XML_TEST_HELPERS_H
#define QUARN_LIB_TEST_XML_TEST_HELPERS_H

#include <functional>
#include <stdexcept>
#include <string>

// Message of the std::runtime_error that call throws, or "no exception"; other exceptions fail the test.
inline std::string errorOf(const std::function<void()>& call)
{
  try
  {
    call();
  }
  catch (const std::runtime_error& e)
  {
    return e.what();
  }
  return "no exception";
}

// depth elements <s> nested in one another around innermost.
inline std::string nested(int depth, const std::string& innermost = "")
{
  std::string text;
  for (int i = 0; i < depth; ++i)
    text += "<s>";
  text += innermost;
  for (int i = 0; i < depth; ++i)
    text += "</s>";
  return text;
}

#endif  // QUARN_LIB_TEST_XML_TEST_HELPERS_H
