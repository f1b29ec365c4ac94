#pragma once

// Values written into documents as a person would write them, so that a tool can change the values of a user's
// document and leave the rest of it (item order, comments, layout) as it was.
//
//   quarn::xml::XmlParamDoc doc;
//   doc.loadXmlFile("my_config.xml");
//   doc.setItemValue("hover_lock/pid_config_x", quarn::sim::numbersText({ 2.46, 0.31, 0.5 }));  // "2.46 0.31 0.5"
//   doc.saveToFile("tuned.xml");

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quarn::sim
{

/// The shortest text of value that reads back to the same double: 0.3 gives "0.3", 2 gives "2", 1e-5 "1e-05".
inline std::string numberText(double value)
{
  char text[32];
  for (int digits = 1; digits <= 17; ++digits)
  {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value)
    {
      break;
    }
  }
  return text;
}

/// values as a vector item's value text: numberText of each, separated by one space.
inline std::string numbersText(const std::vector<double>& values)
{
  std::string text;
  for (double value : values)
  {
    text += (text.empty() ? "" : " ") + numberText(value);
  }
  return text;
}

/// value rounded to decimals places (0 to 15): the double nearest to the rounded decimal, so numberText shows it
/// with at most that many decimals.
inline double roundedTo(double value, int decimals)
{
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

}  // namespace quarn::sim
