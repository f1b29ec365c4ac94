#ifndef QUARN_ALGEBRA_H
#define QUARN_ALGEBRA_H

// Algebra helpers of the quarn library: clamping, signs, angle wrapping, quaternion angles, distances,
// homogeneous transforms, roll-pitch-yaw rotations, a point of the plane and a few numeric helpers.
//
//   using namespace quarn::algebra;
//   double headingError = normalizeAngle(desiredYaw - yaw);        // in (-pi, pi]
//   Eigen::Matrix4d link = denHart(alpha, a, theta, d);
//   Eigen::Vector3d rpy = computeRpyInverseKinematics(computeRpyMatrix(0.1, 0.2, 0.3));  // (0.1, 0.2, 0.3)
//
// Beware the quaternion angle names: they do not follow the usual roll-about-x, pitch-about-y,
// yaw-about-z assignment. For a single rotation about z it is getRollFromQuaternion that returns the
// angle, about x getPitchFromQuaternion, about y getYawFromQuaternion. Pick the function by the axis
// you need, not by its name.
//
// Angles are in radians. All functions are pure except getGaussianValue, which reads the clock.

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include <Eigen/Core>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/numeric/ublas/matrix.hpp>
#include <boost/numeric/ublas/vector.hpp>
#include <boost/random/mersenne_twister.hpp>

namespace quarn
{
namespace algebra
{

/// Row-major 4x4 uBLAS matrix of doubles accepted by inverse().
using BoundedMatrix4d = boost::numeric::ublas::bounded_matrix<double, 4, 4>;
/// Row-major 3x3 uBLAS matrix of doubles accepted by computeRpyInverseKinematics().
using BoundedMatrix3d = boost::numeric::ublas::bounded_matrix<double, 3, 3>;
/// uBLAS 3-vector of doubles returned by computeRpyInverseKinematics().
using BoundedVector3d = boost::numeric::ublas::bounded_vector<double, 3>;

namespace detail
{
// The doubles nearest to pi and 2 pi; callers of normalizeAngle and getGaussianValue rely on the exact results.
constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;

// The bodies of saturate and normalizeAngle, on any scalar type with comparisons and floor.
template <typename T>
T saturate(const T& x, const T& threshold)
{
  if (x > threshold)
    return threshold;
  if (x < -threshold)
    return -threshold;
  return x;
}

template <typename T>
T normalizeAngle(const T& angle)
{
  using std::floor;
  return angle + twoPi * floor((pi - angle) / twoPi);
}

template <typename T>
using IfNotBuiltIn = std::enable_if_t<!std::is_arithmetic_v<T>, T>;
}  // namespace detail

/// Clamps x to [-threshold, threshold]; the upper bound is tested first, a NaN x comes back unchanged.
inline double saturate(double x, double threshold)
{
  return detail::saturate(x, threshold);
}

/// saturate on a scalar type that is not built in, such as an automatic-differentiation number.
template <typename T>
detail::IfNotBuiltIn<T> saturate(const T& x, const T& threshold)
{
  return detail::saturate(x, threshold);
}

/// 1.0, -1.0 or 0.0 (also for -0.0 and NaN).
inline double signOf(double n)
{
  return n > 0 ? 1.0 : (n < 0 ? -1.0 : 0.0);
}

/// 1, -1 or 0.
inline int signOf(int n)
{
  return n > 0 ? 1 : (n < 0 ? -1 : 0);
}

/// True for odd n, negative ones included.
inline bool isOdd(int n)
{
  return (n & 1) != 0;
}

/// True for even n; the exact negation of isOdd.
inline bool isEven(int n)
{
  return !isOdd(n);
}

/// Wraps an angle in radians into (-pi, pi] in one step; pi stays pi, -pi becomes pi, -0.0 becomes +0.0.
inline double normalizeAngle(double angle)
{
  return detail::normalizeAngle(angle);
}

/// normalizeAngle on a scalar type that is not built in, such as an automatic-differentiation number.
template <typename T>
detail::IfNotBuiltIn<T> normalizeAngle(const T& angle)
{
  return detail::normalizeAngle(angle);
}

/// atan2(2 (xy + zw), w^2 + x^2 - y^2 - z^2) in radians: the angle of a rotation about z (see the note above).
inline double getRollFromQuaternion(double x, double y, double z, double w)
{
  return std::atan2(2 * (x * y + z * w), w * w + x * x - y * y - z * z);
}

/// atan2(2 (yz + wx), w^2 - x^2 - y^2 + z^2) in radians: the angle of a rotation about x (see the note above).
inline double getPitchFromQuaternion(double x, double y, double z, double w)
{
  return std::atan2(2 * (y * z + w * x), w * w - x * x - y * y + z * z);
}

/// asin(-2 (zx - wy)) in radians: the angle of a rotation about y; NaN when the quaternion is far from unit length.
inline double getYawFromQuaternion(double x, double y, double z, double w)
{
  return std::asin(-2 * (z * x - w * y));
}

/// Distance between the points (x1, y1) and (x2, y2).
inline double compute2dEuclideanDistance(double x1, double y1, double x2, double y2)
{
  return std::sqrt((x1 - x2) * (x1 - x2) + (y1 - y2) * (y1 - y2));
}

/// Distance between the points (x1, y1, z1) and (x2, y2, z2).
inline double compute3dEuclideanDistance(double x1, double y1, double z1, double x2, double y2, double z2)
{
  return std::sqrt((x1 - x2) * (x1 - x2) + (y1 - y2) * (y1 - y2) + (z1 - z2) * (z1 - z2));
}

/// A point of the plane with component-wise arithmetic.
///
///   CPoint2D p(3, 4);
///   double r = p.distance();           // 5
///   CPoint2D q = (p + CPoint2D(1, 0)) * 2.0;  // (8, 8)
class CPoint2D
{
public:
  /// The origin (0, 0).
  CPoint2D() = default;
  /// The point (x, y).
  CPoint2D(double x, double y) : x_(x), y_(y) {}

  /// Sets the first coordinate.
  void setX(double x) { x_ = x; }
  /// First coordinate.
  double getX() const { return x_; }
  /// Sets the second coordinate.
  void setY(double y) { y_ = y; }
  /// Second coordinate.
  double getY() const { return y_; }

  /// Distance from the origin.
  double distance() const { return compute2dEuclideanDistance(0, 0, x_, y_); }

  /// Component-wise sum.
  CPoint2D operator+(const CPoint2D& other) const { return CPoint2D(x_ + other.x_, y_ + other.y_); }
  /// Component-wise difference.
  CPoint2D operator-(const CPoint2D& other) const { return CPoint2D(x_ - other.x_, y_ - other.y_); }
  /// Both coordinates times factor.
  CPoint2D operator*(double factor) const { return CPoint2D(x_ * factor, y_ * factor); }
  /// Both coordinates divided by divisor; a zero divisor gives infinities or NaN.
  CPoint2D operator/(double divisor) const { return CPoint2D(x_ / divisor, y_ / divisor); }

private:
  double x_ = 0;
  double y_ = 0;
};

/// Matrix whose column 0 is (x, y, z, 1) and whose other entries are zero.
inline Eigen::Matrix4d homogeniusPoint(double x, double y, double z)
{
  Eigen::Matrix4d m = Eigen::Matrix4d::Zero();
  m.col(0) << x, y, z, 1;
  return m;
}

/// Homogeneous translation by (x, y, z).
inline Eigen::Matrix4d trans(double x, double y, double z)
{
  Eigen::Matrix4d m;
  // clang-format off
  m << 1, 0, 0, x,
       0, 1, 0, y,
       0, 0, 1, z,
       0, 0, 0, 1;
  // clang-format on
  return m;
}

namespace detail
{
// Rotation about coordinate axis k; the other two axes follow cyclically, which gives the usual signs for x, y, z.
inline Eigen::Matrix4d rotationAbout(int k, double theta)
{
  const int i = (k + 1) % 3;
  const int j = (k + 2) % 3;
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m(i, i) = c;
  m(i, j) = -s;
  m(j, i) = s;
  m(j, j) = c;
  return m;
}
}  // namespace detail

/// Homogeneous rotation by theta radians about x.
inline Eigen::Matrix4d rotX(double theta)
{
  return detail::rotationAbout(0, theta);
}

/// Homogeneous rotation by theta radians about y.
inline Eigen::Matrix4d rotY(double theta)
{
  return detail::rotationAbout(1, theta);
}

/// Homogeneous rotation by theta radians about z.
inline Eigen::Matrix4d rotZ(double theta)
{
  return detail::rotationAbout(2, theta);
}

/// Denavit-Hartenberg link transform rotZ(theta) trans(0, 0, d) trans(a, 0, 0) rotX(alpha); mind the argument order.
inline Eigen::Matrix4d denHart(double alpha, double a, double theta, double d)
{
  const double ca = std::cos(alpha);
  const double sa = std::sin(alpha);
  const double ct = std::cos(theta);
  const double st = std::sin(theta);
  Eigen::Matrix4d m;
  // clang-format off
  m << ct, -st * ca, st * sa, a * ct,
       st, ct * ca, -ct * sa, a * st,
       0, sa, ca, d,
       0, 0, 0, 1;
  // clang-format on
  return m;
}

/// The point turned counter-clockwise about the origin by angle radians.
inline CPoint2D rotation2D(const CPoint2D& point, double angle)
{
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return CPoint2D(point.getX() * c - point.getY() * s, point.getX() * s + point.getY() * c);
}

/// Rotation Rz(yaw) Ry(pitch) Rx(roll), angles in radians.
inline Eigen::Matrix3d computeRpyMatrix(double roll, double pitch, double yaw)
{
  const double cr = std::cos(roll);
  const double sr = std::sin(roll);
  const double cp = std::cos(pitch);
  const double sp = std::sin(pitch);
  const double cy = std::cos(yaw);
  const double sy = std::sin(yaw);
  Eigen::Matrix3d m;
  // clang-format off
  m << cp * cy, sr * sp * cy - cr * sy, cr * sp * cy + sr * sy,
       cp * sy, sr * sp * sy + cr * cy, cr * sp * sy - sr * cy,
       -sp, sr * cp, cr * cp;
  // clang-format on
  return m;
}

namespace detail
{
// Shared by the Eigen and uBLAS overloads: both index with m(row, column).
template <typename Matrix>
std::array<double, 3> rpyFromRotation(const Matrix& r)
{
  const double yaw = std::atan2(r(1, 0), r(0, 0));
  const double cy = std::cos(yaw);
  const double sy = std::sin(yaw);
  const double pitch = std::atan2(-r(2, 0), r(0, 0) * cy + r(1, 0) * sy);
  const double roll = std::atan2(r(0, 2) * sy - r(1, 2) * cy, r(1, 1) * cy - r(0, 1) * sy);
  return { roll, pitch, yaw };
}
}  // namespace detail

/// (roll, pitch, yaw) in radians of a rotation built as computeRpyMatrix; no special case at pitch +-pi/2.
inline Eigen::Vector3d computeRpyInverseKinematics(Eigen::Matrix3d rpy)
{
  const std::array<double, 3> angles = detail::rpyFromRotation(rpy);
  return Eigen::Vector3d(angles[0], angles[1], angles[2]);
}

/// (roll, pitch, yaw) in radians of a rotation built as computeRpyMatrix; no special case at pitch +-pi/2.
inline BoundedVector3d computeRpyInverseKinematics(BoundedMatrix3d rpy)
{
  const std::array<double, 3> angles = detail::rpyFromRotation(rpy);
  BoundedVector3d result;
  std::copy(angles.begin(), angles.end(), result.begin());
  return result;
}

/// Inverse of a rigid transform (orthonormal rotation block); row 3 of m is not read.
inline Eigen::Matrix4d inverse(BoundedMatrix4d m)
{
  Eigen::Matrix4d result = Eigen::Matrix4d::Identity();
  for (int i = 0; i < 3; ++i)
  {
    for (int j = 0; j < 3; ++j)
      result(i, j) = m(j, i);
    result(i, 3) = -(m(0, i) * m(0, 3) + m(1, i) * m(1, 3) + m(2, i) * m(2, 3));
  }
  return result;
}

/// Element-wise square root that keeps the sign: sqrt(v) for v > 0, -sqrt(-v) otherwise; empty gives empty.
inline Eigen::VectorXd signedSqrt(const Eigen::VectorXd& x)
{
  Eigen::VectorXd result(x.size());
  for (Eigen::Index i = 0; i < x.size(); ++i)
    result[i] = x[i] > 0 ? std::sqrt(x[i]) : -std::sqrt(-x[i]);
  return result;
}

namespace detail
{
// The cosine branch of Box-Muller on a fresh MT19937 seeded with seed.
inline double gaussianFromSeed(double mean, double sigma, unsigned int seed)
{
  boost::random::mt19937 engine(seed);
  // Outputs are below 2^32, so both uniforms lie in [0, 1) exactly and need no redraw.
  const double u1 = std::ldexp(static_cast<double>(engine()), -32);
  const double u2 = std::ldexp(static_cast<double>(engine()), -32);
  const double rho = std::sqrt(-2 * std::log(1 - u2));
  return rho * std::cos(twoPi * u1) * sigma + mean;
}
}  // namespace detail

/// One normal draw of the given mean and sigma (>= 0), seeded from the local clock's seconds within the
/// minute: calls within the same second return the same value. Throws std::invalid_argument for sigma < 0.
inline double getGaussianValue(double mean, double sigma)
{
  if (sigma < 0)
    throw std::invalid_argument("getGaussianValue: negative sigma");
  const auto now = boost::posix_time::microsec_clock::local_time();
  return detail::gaussianFromSeed(mean, sigma, static_cast<unsigned int>(now.time_of_day().seconds()));
}

}  // namespace algebra
}  // namespace quarn

#endif  // QUARN_ALGEBRA_H
