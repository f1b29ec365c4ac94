#ifndef QUARN_DEV_AXIS_OPTIONS_H
#define QUARN_DEV_AXIS_OPTIONS_H

// Optional items of hover_lock's configuration document beyond the six: per controller, the bounds of its output
// and of its error integral, and a low-pass filter on its derivative. A document without them runs the
// controllers exactly as before.
//
//   <pid_limits_x type="vector" value="0.5 2.0"/>  <!-- output within +-0.5 m/s, error integral within +-2 m s -->
//   <pid_filter_x type="real" value="0.3"/>        <!-- derivative through a 0.3 s first-order lag -->

#include <array>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include <Eigen/Core>

#include <quarn_pid.h>
#include <quarn_xml/XmlParamDoc.h>

namespace quarn
{
namespace dev
{

/// Bounds and derivative filter of one controller beyond its gains; the defaults are CPid's own.
struct AxisOptions
{
  double outputLimit = 1.0;       ///< output clamped to +- this (m/s; rad/s for yaw); > 0 and finite
  double integralLimit = 10.0;    ///< error integral clamped to +- this (m s; rad s for yaw); > 0 and finite
  double derivativeFilter = 0.0;  ///< time constant (s) of the derivative's low-pass filter; >= 0, finite; 0 off
};

/// Options of the four controllers: x, y, z, yaw.
using AxisOptionSet = std::array<AxisOptions, 4>;

/// Item name suffixes of the four controllers, in the order of AxisOptionSet.
inline const std::array<const char*, 4> AXIS_SUFFIXES = { "x", "y", "z", "yaw" };

/// Largest time step of a controller (s): CPid's default, which the options leave as it is.
constexpr double MAX_CONTROL_PERIOD = 4.0;

/// Whether an element, sound item or not, lies at xmlPath of doc: what tells an optional item from an absent one.
inline bool hasElement(const quarn::xml::XmlParamDoc& doc, const std::string& xmlPath)
{
  try
  {
    return !doc.getSiblingSections(xmlPath).empty();
  }
  catch (const std::runtime_error&)
  {
    return false;
  }
}

/// Reads the optional items "pid_limits_<axis>" (vector: output limit, integral limit) and "pid_filter_<axis>"
/// (real, s) under the root of doc into options; an absent item keeps its defaults. Empty when every present item
/// is sound, otherwise the first refused item's name, what it must hold with an example, and what it held.
inline std::string readAxisOptions(const quarn::xml::XmlParamDoc& doc, AxisOptionSet& options);

/// The same from the text of a document, which must parse (throws std::runtime_error otherwise).
inline std::string readAxisOptions(const std::string& xmlText, AxisOptionSet& options)
{
  quarn::xml::XmlParamDoc doc;
  doc.loadXmlString(xmlText);
  return readAxisOptions(doc, options);
}

/// Sets controller's output and integral bounds and its derivative filter from options; gains and state stay.
inline void applyAxisOptions(pid::CPid& controller, const AxisOptions& options)
{
  controller.config(-options.integralLimit, options.integralLimit, -options.outputLimit, options.outputLimit,
                    MAX_CONTROL_PERIOD);
  controller.setDerivativeFilter(options.derivativeFilter);
}

// ---------------------------------------------------------------------------------------------------------------

namespace detail
{

// "name must hold ..., e.g. <example>; got ..." for a refused optional item.
inline std::string refusedOption(const std::string& name, const char* rule, const std::string& type,
                                 const char* example, const std::string& got)
{
  return name + " must hold " + rule + ", e.g. <" + name + " type=\"" + type + "\" value=\"" + example + "\"/>; " + got;
}

inline std::string numbersText(const Eigen::VectorXd& values)
{
  std::ostringstream text;
  for (Eigen::Index i = 0; i < values.size(); ++i)
  {
    text << (i ? " " : "") << values[i];
  }
  return "got \"" + text.str() + "\"";
}

}  // namespace detail

inline std::string readAxisOptions(const quarn::xml::XmlParamDoc& doc, AxisOptionSet& options)
{
  using quarn::xml::XmlParamDoc;
  const std::string root = doc.getRootTagName() + "/";
  for (std::size_t axis = 0; axis < options.size(); ++axis)
  {
    AxisOptions& option = options[axis];
    const std::string limits = std::string("pid_limits_") + AXIS_SUFFIXES[axis];
    const char* const limitsRule = "two positive finite numbers, the output limit and the error integral limit";
    // An element of that name that is not a sound item is refused, never passed over as absent.
    if (hasElement(doc, root + limits))
    {
      Eigen::VectorXd values;
      try
      {
        values = doc.getVector(root + limits);
      }
      catch (const std::runtime_error& e)
      {
        return detail::refusedOption(limits, limitsRule, XmlParamDoc::VECTOR_TYPE, "1.0 10.0", e.what());
      }
      if (values.size() != 2 || !(values.array() > 0.0).all() || !values.allFinite())
      {
        return detail::refusedOption(limits, limitsRule, XmlParamDoc::VECTOR_TYPE, "1.0 10.0",
                                     detail::numbersText(values));
      }
      option.outputLimit = values[0];
      option.integralLimit = values[1];
    }
    const std::string filter = std::string("pid_filter_") + AXIS_SUFFIXES[axis];
    const char* const filterRule = "the derivative filter's time constant in s, finite and >= 0 (0: no filter)";
    if (hasElement(doc, root + filter))
    {
      double value = 0.0;
      try
      {
        value = doc.getReal(root + filter);
      }
      catch (const std::runtime_error& e)
      {
        return detail::refusedOption(filter, filterRule, XmlParamDoc::REAL_TYPE, "0.2", e.what());
      }
      if (!(value >= 0.0) || !std::isfinite(value))
      {
        return detail::refusedOption(filter, filterRule, XmlParamDoc::REAL_TYPE, "0.2",
                                     detail::numbersText(Eigen::VectorXd::Constant(1, value)));
      }
      option.derivativeFilter = value;
    }
  }
  return std::string();
}

}  // namespace dev
}  // namespace quarn

#endif  // QUARN_DEV_AXIS_OPTIONS_H
