#ifndef QUARN_ALGEBRA_H
#define QUARN_ALGEBRA_H

#include <cmath>

namespace quarn
{
namespace algebra
{

/// Wraps an angle in radians into (-pi, pi] in one step; pi stays pi, -pi becomes pi, -0.0 becomes +0.0.
inline double normalizeAngle(double angle)
{
  // The two constants are the doubles nearest to pi and 2 pi; callers rely on the exact results.
  const double pi = 3.141592653589793;
  const double twoPi = 6.283185307179586;
  return angle + twoPi * std::floor((pi - angle) / twoPi);
}

}  // namespace algebra
}  // namespace quarn

#endif  // QUARN_ALGEBRA_H
