#include <quarn_algebra.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <random>

using namespace quarn::algebra;

namespace
{
const double kPi = 3.141592653589793;
const double kTolerance = 1e-12;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

template <int N, typename Eigenlike>
boost::numeric::ublas::bounded_matrix<double, N, N> toUblas(const Eigenlike& m)
{
  boost::numeric::ublas::bounded_matrix<double, N, N> result;
  for (int i = 0; i < N; ++i)
    for (int j = 0; j < N; ++j)
      result(i, j) = m(i, j);
  return result;
}

int clockSeconds()
{
  return boost::posix_time::microsec_clock::local_time().time_of_day().seconds();
}

// Written apart from the library on std::mt19937 so that both must agree with the textbook draw.
double expectedGaussian(double mean, double sigma, unsigned int seed)
{
  std::mt19937 engine(seed);
  const double u1 = engine() / 4294967296.0;
  const double u2 = engine() / 4294967296.0;
  return std::sqrt(-2 * std::log(1 - u2)) * std::cos(2 * M_PI * u1) * sigma + mean;
}
}  // namespace

TEST(NormalizeAngle, WrapsIntoHalfOpenInterval)
{
  const struct
  {
    double angle, expected;
  } cases[] = {
    { kPi, kPi },   { -kPi, kPi },  { 1.5 * kPi, -0.5 * kPi }, { -1.5 * kPi, 0.5 * kPi },      { 7, 7 - 2 * kPi },
    { 2 * kPi, 0 }, { 0.25, 0.25 }, { -20 * kPi - 0.5, -0.5 }, { 1e6, 1e6 - 159155 * 2 * kPi }
  };
  for (const auto& c : cases)
    EXPECT_NEAR(normalizeAngle(c.angle), c.expected, 1e-9) << c.angle;
}

TEST(NormalizeAngle, BoundaryValuesAreExact)
{
  EXPECT_EQ(normalizeAngle(kPi), kPi);
  EXPECT_EQ(normalizeAngle(-kPi), kPi);
  EXPECT_EQ(normalizeAngle(-0.0), 0.0);
  EXPECT_FALSE(std::signbit(normalizeAngle(-0.0)));
}

TEST(NormalizeAngle, StaysInRangeAndKeepsDirection)
{
  for (double angle = -100; angle <= 100; angle += 0.125)
  {
    const double wrapped = normalizeAngle(angle);
    EXPECT_GT(wrapped, -kPi) << angle;
    EXPECT_LE(wrapped, kPi) << angle;
    EXPECT_NEAR(std::sin(wrapped), std::sin(angle), 1e-9) << angle;
    EXPECT_NEAR(std::cos(wrapped), std::cos(angle), 1e-9) << angle;
  }
}

TEST(Saturate, ClampsWithUpperBoundFirst)
{
  const struct
  {
    double x, threshold, expected;
  } cases[] = { { 5, 2, 2 }, { -5, 2, -2 }, { 1, 2, 1 }, { 2, 2, 2 }, { -2, 2, -2 }, { 0, -1, -1 }, { 3, kNaN, 3 } };
  for (const auto& c : cases)
    EXPECT_EQ(saturate(c.x, c.threshold), c.expected) << c.x << " " << c.threshold;
  EXPECT_TRUE(std::isnan(saturate(kNaN, 1)));
}

TEST(SignOf, DoubleAndIntOverloads)
{
  const struct
  {
    double n, expected;
  } doubles[] = { { 2.5, 1 }, { -0.25, -1 }, { 0.0, 0 }, { -0.0, 0 }, { kNaN, 0 } };
  for (const auto& c : doubles)
    EXPECT_EQ(signOf(c.n), c.expected) << c.n;
  const struct
  {
    int n, expected;
  } ints[] = { { 3, 1 }, { -3, -1 }, { 0, 0 }, { INT_MIN, -1 }, { INT_MAX, 1 } };
  for (const auto& c : ints)
    EXPECT_EQ(signOf(c.n), c.expected) << c.n;
}

TEST(Parity, NegativeNumbersIncluded)
{
  const struct
  {
    int n;
    bool odd;
  } cases[] = { { -3, true }, { -2, false }, { 0, false }, { 7, true }, { INT_MIN, false }, { INT_MAX, true } };
  for (const auto& c : cases)
  {
    EXPECT_EQ(isOdd(c.n), c.odd) << c.n;
    EXPECT_EQ(isEven(c.n), !c.odd) << c.n;
  }
}

TEST(QuaternionAngles, EachFunctionReadsItsOwnAxis)
{
  const double s = std::sin(0.25), c = std::cos(0.25);
  const struct
  {
    double x, y, z, w, roll, pitch, yaw;
  } cases[] = { { 0, 0, s, c, 0.5, 0, 0 },
                { s, 0, 0, c, 0, 0.5, 0 },
                { 0, s, 0, c, 0, 0, 0.5 },
                { 0, 0, -s, c, -0.5, 0, 0 },
                { 0, 0, 0, 1, 0, 0, 0 } };
  for (const auto& q : cases)
  {
    EXPECT_NEAR(getRollFromQuaternion(q.x, q.y, q.z, q.w), q.roll, kTolerance);
    EXPECT_NEAR(getPitchFromQuaternion(q.x, q.y, q.z, q.w), q.pitch, kTolerance);
    EXPECT_NEAR(getYawFromQuaternion(q.x, q.y, q.z, q.w), q.yaw, kTolerance);
  }
}

TEST(QuaternionAngles, YawOfFarFromUnitQuaternionIsNaN)
{
  EXPECT_TRUE(std::isnan(getYawFromQuaternion(0, 2, 0, 2)));
}

TEST(EuclideanDistance, TwoAndThreeDimensions)
{
  EXPECT_EQ(compute2dEuclideanDistance(0, 0, 3, 4), 5);
  EXPECT_EQ(compute2dEuclideanDistance(-1, 2, 2, -2), 5);
  EXPECT_EQ(compute3dEuclideanDistance(1, 2, 3, 1, 2, 3), 0);
  EXPECT_EQ(compute3dEuclideanDistance(1, 2, 3, -1, -1, -3), 7);
}

TEST(CPoint2D, DefaultIsOriginAndDistanceFromOrigin)
{
  CPoint2D p;
  EXPECT_EQ(p.getX(), 0);
  EXPECT_EQ(p.getY(), 0);
  EXPECT_EQ(p.distance(), 0);
  p.setX(-3);
  p.setY(4);
  EXPECT_EQ(p.distance(), 5);
}

TEST(CPoint2D, OperatorsActComponentWise)
{
  const CPoint2D a(1.5, -2), b(0.5, 4);
  const struct
  {
    CPoint2D result;
    double x, y;
  } cases[] = { { a + b, 2, 2 }, { a - b, 1, -6 }, { a * 2.0, 3, -4 }, { a / 4.0, 0.375, -0.5 } };
  for (const auto& c : cases)
  {
    EXPECT_EQ(c.result.getX(), c.x);
    EXPECT_EQ(c.result.getY(), c.y);
  }
}

TEST(Rotation2D, TurnsCounterClockwise)
{
  const struct
  {
    double x, y, angle, ex, ey;
  } cases[] = { { 1, 0, kPi / 2, 0, 1 }, { 2, 1, kPi, -2, -1 }, { 0, 3, -kPi / 2, 3, 0 }, { 1, 1, 0, 1, 1 } };
  for (const auto& c : cases)
  {
    const CPoint2D turned = rotation2D(CPoint2D(c.x, c.y), c.angle);
    EXPECT_NEAR(turned.getX(), c.ex, kTolerance);
    EXPECT_NEAR(turned.getY(), c.ey, kTolerance);
  }
}

TEST(Transforms, HomogeniusPointFillsColumnZeroOnly)
{
  Eigen::Matrix4d expected = Eigen::Matrix4d::Zero();
  expected.col(0) << 1.5, -2, 3, 1;
  EXPECT_EQ(homogeniusPoint(1.5, -2, 3), expected);
}

TEST(Transforms, TransAndRotationsMovePointsWhereExpected)
{
  const struct
  {
    Eigen::Matrix4d t;
    Eigen::Vector4d from, to;
  } cases[] = { { trans(1, 2, 3), { 4, 5, 6, 1 }, { 5, 7, 9, 1 } }, { rotZ(kPi / 2), { 1, 0, 0, 1 }, { 0, 1, 0, 1 } },
                { rotZ(kPi / 2), { 0, 0, 1, 1 }, { 0, 0, 1, 1 } },  { rotX(kPi / 2), { 0, 1, 0, 1 }, { 0, 0, 1, 1 } },
                { rotX(kPi / 2), { 1, 0, 0, 1 }, { 1, 0, 0, 1 } },  { rotY(kPi / 2), { 0, 0, 1, 1 }, { 1, 0, 0, 1 } },
                { rotY(kPi / 2), { 0, 1, 0, 1 }, { 0, 1, 0, 1 } } };
  for (const auto& c : cases)
    EXPECT_TRUE((c.t * c.from).isApprox(c.to, kTolerance)) << (c.t * c.from).transpose();
}

TEST(Transforms, DenHartIsProductOfItsElementaryTransforms)
{
  const struct
  {
    double alpha, a, theta, d;
  } cases[] = {
    { 0, 2, 0, 3 }, { 0.7, 0, 0, 0 }, { 0, 0, -1.1, 0 }, { 0.3, 1.5, 2.2, -0.4 }, { -2.5, -0.75, 0.9, 1.25 }
  };
  for (const auto& c : cases)
  {
    const Eigen::Matrix4d product = rotZ(c.theta) * trans(0, 0, c.d) * trans(c.a, 0, 0) * rotX(c.alpha);
    EXPECT_TRUE(denHart(c.alpha, c.a, c.theta, c.d).isApprox(product, kTolerance)) << c.alpha << " " << c.theta;
  }
}

TEST(RpyMatrix, IsYawPitchRollProductAndInvertsOverGrid)
{
  for (double roll = -3; roll <= 3; roll += 0.5)
    for (double pitch = -1.5; pitch <= 1.5; pitch += 0.25)
      for (double yaw = -3; yaw <= 3; yaw += 0.5)
      {
        const Eigen::Matrix3d r = computeRpyMatrix(roll, pitch, yaw);
        const Eigen::Matrix3d product = (rotZ(yaw) * rotY(pitch) * rotX(roll)).topLeftCorner<3, 3>();
        ASSERT_TRUE(r.isApprox(product, kTolerance)) << roll << " " << pitch << " " << yaw;
        const Eigen::Vector3d angles = computeRpyInverseKinematics(r);
        ASSERT_TRUE(angles.isApprox(Eigen::Vector3d(roll, pitch, yaw), 1e-9)) << angles.transpose();
      }
}

TEST(RpyMatrix, UblasAndEigenInverseKinematicsAgree)
{
  for (double roll = -3; roll <= 3; roll += 1.5)
    for (double pitch = -1.5; pitch <= 1.5; pitch += 0.5)
      for (double yaw = -3; yaw <= 3; yaw += 1.5)
      {
        const Eigen::Matrix3d r = computeRpyMatrix(roll, pitch, yaw);
        const Eigen::Vector3d fromEigen = computeRpyInverseKinematics(r);
        const BoundedVector3d fromUblas = computeRpyInverseKinematics(toUblas<3>(r));
        for (int i = 0; i < 3; ++i)
          EXPECT_EQ(fromUblas(i), fromEigen(i));
      }
}

TEST(Inverse, UndoesRigidTransformAndIgnoresRowThree)
{
  const Eigen::Matrix4d transforms[] = { trans(1, -2, 3) * rotZ(0.8), rotX(-1.2) * trans(0.5, 0, 4) * rotY(2.1),
                                         denHart(0.3, 1.5, 2.2, -0.4) };
  for (const Eigen::Matrix4d& t : transforms)
  {
    BoundedMatrix4d m = toUblas<4>(t);
    const Eigen::Matrix4d inv = inverse(m);
    EXPECT_TRUE((inv * t).isApprox(Eigen::Matrix4d::Identity(), kTolerance));
    EXPECT_TRUE((t * inv).isApprox(Eigen::Matrix4d::Identity(), kTolerance));
    m(3, 0) = 7;
    m(3, 3) = -5;
    EXPECT_EQ(inverse(m), inv);
  }
}

TEST(SignedSqrt, KeepsSignPerElement)
{
  Eigen::VectorXd x(4);
  x << 4, -9, 0, 2.25;
  Eigen::VectorXd expected(4);
  expected << 2, -3, 0, 1.5;
  EXPECT_EQ(signedSqrt(x), expected);
  EXPECT_TRUE(std::isnan(signedSqrt(Eigen::VectorXd::Constant(1, kNaN))[0]));
  EXPECT_EQ(signedSqrt(Eigen::VectorXd()).size(), 0);
}

TEST(GaussianValue, DrawFromEachSeedMatchesBoxMuller)
{
  for (unsigned int seed = 0; seed < 60; ++seed)
  {
    EXPECT_EQ(detail::gaussianFromSeed(0, 1, seed), expectedGaussian(0, 1, seed)) << seed;
    EXPECT_EQ(detail::gaussianFromSeed(-2.5, 0.75, seed), expectedGaussian(-2.5, 0.75, seed)) << seed;
  }
}

TEST(GaussianValue, SeededFromTheSecondsOfTheClock)
{
  // Retry when the second changes during the call; two attempts in a row cannot both straddle a tick.
  for (int attempt = 0; attempt < 3; ++attempt)
  {
    const int before = clockSeconds();
    const double first = getGaussianValue(1.5, 2);
    const double second = getGaussianValue(1.5, 2);
    if (clockSeconds() != before)
      continue;
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, expectedGaussian(1.5, 2, before));
    return;
  }
  FAIL() << "the clock's second changed during every attempt";
}

TEST(GaussianValue, ZeroSigmaGivesMeanAndNegativeSigmaIsRejected)
{
  EXPECT_EQ(getGaussianValue(2.5, 0), 2.5);
  EXPECT_THROW(getGaussianValue(0, -1), std::invalid_argument);
}
