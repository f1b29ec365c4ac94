#ifndef QUARN_SCOPE_CONFIG_REWRITE_H
#define QUARN_SCOPE_CONFIG_REWRITE_H

// The configuration text as the gain editor changes and shows it: new values written into the operator's own
// document, whose comments, item order and other items stay as they are.
//
//   std::string text = rewriteConfig(current, { { "pid_config_x", { 2.0, 0.3, 0.5 } } });
//   // <pid_config_x type="vector" value="2 0.3 0.5"/>, everything else unchanged
//   std::string json = configJson(text);   // {"mode":1,"pid_config_x":[2,0.3,0.5],...}

#include <cstdio>
#include <stdexcept>
#include <string>

#include <quarn_scope/request_checks.h>
#include <quarn_xml/XmlParamDoc.h>

namespace quarn
{
namespace scope
{

/// text with the items of edits set to their new numbers. Throws std::runtime_error naming the item when the
/// text does not parse or lacks one of the items as a vector.
inline std::string rewriteConfig(const std::string& text, const ConfigEdits& edits)
{
  quarn::xml::XmlParamDoc doc;
  doc.loadXmlString(text);
  const std::string root = doc.getRootTagName();
  for (const auto& [name, numbers] : edits)
  {
    try
    {
      doc.setVector(root + "/" + name, Eigen::Map<const Eigen::VectorXd>(numbers.data(), numbers.size()));
    }
    catch (const std::runtime_error& e)
    {
      throw std::runtime_error("cannot set " + name + " in the configuration: " + e.what());
    }
  }
  return doc.getXmlString();
}

/// JSON number text of a double, null when it is not finite (JSON has no nan or inf).
inline std::string jsonNumber(double value)
{
  if (!std::isfinite(value))
    return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

/// JSON array text of the first n numbers of values.
template <typename Numbers>
std::string jsonArray(const Numbers& values, std::size_t n)
{
  std::string text = "[";
  for (std::size_t i = 0; i < n; ++i)
    text += (i == 0 ? "" : ",") + jsonNumber(values[i]);
  return text + "]";
}

/// The mode and the editable items of a configuration text as one JSON object; items the text lacks or that do
/// not read are left out, so the page shows what there is. "{}" for a text that does not parse.
inline std::string configJson(const std::string& text)
{
  quarn::xml::XmlParamDoc doc;
  try
  {
    doc.loadXmlString(text);
  }
  catch (const std::runtime_error&)
  {
    return "{}";
  }
  const std::string root = doc.getRootTagName();
  std::string json;
  try
  {
    json += ",\"mode\":" + std::to_string(doc.getInteger(root + "/mode"));
  }
  catch (const std::runtime_error&)
  {}
  for (const auto& item : editableItems())
  {
    try
    {
      const Eigen::VectorXd values = doc.getVector(root + "/" + item.first);
      json += ",\"" + item.first + "\":" + jsonArray(values, values.size());
    }
    catch (const std::runtime_error&)
    {}
  }
  return "{" + (json.empty() ? json : json.substr(1)) + "}";
}

}  // namespace scope
}  // namespace quarn

#endif  // QUARN_SCOPE_CONFIG_REWRITE_H
