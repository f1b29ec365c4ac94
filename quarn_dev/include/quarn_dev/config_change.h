#ifndef QUARN_DEV_CONFIG_CHANGE_H
#define QUARN_DEV_CONFIG_CHANGE_H

// What a new configuration changes against the one in use, item by item, for the answer of a reload.

#include <charconv>
#include <cmath>
#include <string>
#include <utility>
#include <variant>

#include <Eigen/Core>

#include <quarn_dev/hover_lock_core.h>

namespace quarn
{
namespace dev
{

/// A value as an operator would write it in the document: an integer, or the numbers of a vector separated by
/// spaces, each in the shortest form that reads back to the same double (0.3, not 0.29999999999999999).
inline std::string itemText(int value)
{
  return std::to_string(value);
}

/// See itemText(int).
inline std::string itemText(const Eigen::VectorXd& value)
{
  std::string text;
  for (Eigen::Index i = 0; i < value.size(); ++i)
  {
    char number[32];
    const std::to_chars_result end = std::to_chars(number, number + sizeof number, value[i]);
    text.append(i > 0 ? " " : "").append(number, end.ptr);
  }
  return text;
}

/// Whether two values of an item are the same; NaN equals NaN, so an unchanged document never reads as changed.
inline bool sameItemValue(int a, int b)
{
  return a == b;
}

/// See sameItemValue(int, int).
inline bool sameItemValue(const Eigen::VectorXd& a, const Eigen::VectorXd& b)
{
  if (a.size() != b.size())
  {
    return false;
  }
  for (Eigen::Index i = 0; i < a.size(); ++i)
  {
    if (a[i] != b[i] && !(std::isnan(a[i]) && std::isnan(b[i])))
    {
      return false;
    }
  }
  return true;
}

/// Whether item holds the same value in before and after.
inline bool sameItem(const ConfigItem& item, const DeviceConfig& before, const DeviceConfig& after)
{
  return std::visit([&](auto member) { return sameItemValue(before.*member, after.*member); }, item.member);
}

/// One line per item that differs, in item order, e.g. "pid_config_x: 2.5 0.3 0.5 -> 2 0.3 0.2"; "no change"
/// when every item is the same.
inline std::string configChanges(const DeviceConfig& before, const DeviceConfig& after)
{
  std::string lines;
  for (const ConfigItem& item : CONFIG_ITEMS)
  {
    if (!sameItem(item, before, after))
    {
      std::visit(
          [&](auto member) {
            lines += (lines.empty() ? "" : "\n") + std::string(item.name) + ": " + itemText(before.*member) + " -> " +
                     itemText(after.*member);
          },
          item.member);
    }
  }
  // The optional items, as their defaults when absent.
  for (std::size_t axis = 0; axis < before.axes.size(); ++axis)
  {
    const AxisOptions& a = before.axes[axis];
    const AxisOptions& b = after.axes[axis];
    const Eigen::Vector2d limitsBefore(a.outputLimit, a.integralLimit), limitsAfter(b.outputLimit, b.integralLimit);
    const std::pair<const char*, std::pair<Eigen::VectorXd, Eigen::VectorXd>> options[] = {
      { "pid_limits_", { limitsBefore, limitsAfter } },
      { "pid_filter_",
        { Eigen::VectorXd::Constant(1, a.derivativeFilter), Eigen::VectorXd::Constant(1, b.derivativeFilter) } },
    };
    for (const auto& [prefix, values] : options)
    {
      if (!sameItemValue(values.first, values.second))
      {
        lines += (lines.empty() ? "" : "\n") + std::string(prefix) + AXIS_SUFFIXES[axis] + ": " +
                 itemText(values.first) + " -> " + itemText(values.second);
      }
    }
  }
  return lines.empty() ? "no change" : lines;
}

}  // namespace dev
}  // namespace quarn

#endif  // QUARN_DEV_CONFIG_CHANGE_H
